# Empty dependencies file for talvora_webrtc.
# This may be replaced when dependencies are built.
