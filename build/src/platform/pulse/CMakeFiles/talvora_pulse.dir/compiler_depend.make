# Empty compiler generated dependencies file for talvora_pulse.
# This may be replaced when dependencies are built.
