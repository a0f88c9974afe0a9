# Empty dependencies file for talvora_pocketsphinx.
# This may be replaced when dependencies are built.
