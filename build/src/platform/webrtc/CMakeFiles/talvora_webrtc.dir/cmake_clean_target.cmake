file(REMOVE_RECURSE
  "libtalvora_webrtc.a"
)
