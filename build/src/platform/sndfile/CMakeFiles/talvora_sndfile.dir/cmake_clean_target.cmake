file(REMOVE_RECURSE
  "libtalvora_sndfile.a"
)
