file(REMOVE_RECURSE
  "libtalvora_pocketsphinx.a"
)
