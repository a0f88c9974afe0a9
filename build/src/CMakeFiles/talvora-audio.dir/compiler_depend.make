# Empty compiler generated dependencies file for talvora-audio.
# This may be replaced when dependencies are built.
