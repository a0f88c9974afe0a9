file(REMOVE_RECURSE
  "libtalvora_fakes.a"
)
