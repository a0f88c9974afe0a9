# Empty dependencies file for talvora_linux.
# This may be replaced when dependencies are built.
