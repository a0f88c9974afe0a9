file(REMOVE_RECURSE
  "libtalvora_pulse.a"
)
