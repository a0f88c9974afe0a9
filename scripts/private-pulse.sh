# Sourced by the demo, the example tests and the benchmark scripts: starts a private
# PulseAudio server of our own, with its own runtime directory, whose default microphone
# is the monitor of a null sink. Whatever is played into that sink (paplay --device=voice)
# is what the microphone hears, at the sink's real-time clock.
#
#   private_pulse_start RATE CHANNELS   sets PULSE_SERVER, PRIVATE_PULSE_DIR, PRIVATE_PULSE_PID;
#                                       returns once the microphone delivers in real time
#   private_pulse_stop

private_pulse_start() {
  local rate=${1:-48000} channels=${2:-1}
  PRIVATE_PULSE_DIR=$(mktemp -d /tmp/talvora-pulse.XXXXXX)
  chmod 755 "$PRIVATE_PULSE_DIR"
  (
    export HOME=$PRIVATE_PULSE_DIR XDG_RUNTIME_DIR=$PRIVATE_PULSE_DIR PULSE_RUNTIME_PATH=$PRIVATE_PULSE_DIR/runtime
    unset PULSE_SERVER
    exec pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit \
      --disable-shm=yes --log-target=file:"$PRIVATE_PULSE_DIR/server.log" \
      -L "module-native-protocol-unix socket=$PRIVATE_PULSE_DIR/native auth-anonymous=1" \
      -L "module-null-sink sink_name=voice rate=$rate channels=$channels" \
      >/dev/null 2>&1
  ) &
  PRIVATE_PULSE_PID=$!
  export PULSE_SERVER=unix:$PRIVATE_PULSE_DIR/native
  local i
  for i in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then
      pactl set-default-source voice.monitor
      pacat --playback --device=voice --format=s16le --rate="$rate" --channels="$channels" \
        --latency-msec=50 </dev/zero >/dev/null 2>&1 &
      PRIVATE_PULSE_KEEPALIVE=$!
      private_pulse_wait_live
      return
    fi
    sleep 0.1
  done
  echo "The private sound server did not start; its log:" >&2
  cat "$PRIVATE_PULSE_DIR/server.log" >&2 2>/dev/null
  return 1
}

# Waits until the private server's microphone delivers in real time. A null sink that
# starts with no stream renders two seconds ahead; until the keep-alive stream has pulled
# its latency down and that head start has run out, a new recording receives nothing,
# and the first ~1.8 s of "recording" would be missing from every file.
private_pulse_wait_live() {
  local latency i
  for i in $(seq 1 100); do
    latency=$(pactl list sinks 2>/dev/null | awk '/^\tLatency:/ {print $2; exit}')
    if [ -n "$latency" ] && [ "$latency" -lt 100000 ]; then return 0; fi
    sleep 0.05
  done
  echo "The private microphone did not reach real time (sink latency ${latency:-unknown} us)" >&2
  return 1
}

private_pulse_stop() {
  if [ -n "${PRIVATE_PULSE_KEEPALIVE:-}" ]; then
    kill "$PRIVATE_PULSE_KEEPALIVE" 2>/dev/null
    wait "$PRIVATE_PULSE_KEEPALIVE" 2>/dev/null
  fi
  if [ -n "${PRIVATE_PULSE_PID:-}" ]; then
    kill "$PRIVATE_PULSE_PID" 2>/dev/null
    wait "$PRIVATE_PULSE_PID" 2>/dev/null
  fi
  [ -n "${PRIVATE_PULSE_DIR:-}" ] && rm -rf "$PRIVATE_PULSE_DIR"
  unset PRIVATE_PULSE_PID PRIVATE_PULSE_KEEPALIVE PRIVATE_PULSE_DIR PULSE_SERVER
}
