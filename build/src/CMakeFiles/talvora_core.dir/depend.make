# Empty dependencies file for talvora_core.
# This may be replaced when dependencies are built.
