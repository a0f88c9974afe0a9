# Empty dependencies file for talvora_sndfile.
# This may be replaced when dependencies are built.
