# Empty dependencies file for talvora_fakes.
# This may be replaced when dependencies are built.
