file(REMOVE_RECURSE
  "libtalvora_core.a"
)
