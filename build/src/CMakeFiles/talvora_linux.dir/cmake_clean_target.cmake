file(REMOVE_RECURSE
  "libtalvora_linux.a"
)
