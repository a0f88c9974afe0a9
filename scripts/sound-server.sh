#!/usr/bin/env bash
# A private sound server for the tests, the benchmarks and the demo: PulseAudio, or PipeWire
# with WirePlumber and its PulseAudio service, in a folder of its own and reachable only
# through PULSE_SERVER. Nothing of the machine's own sound set-up is touched, no hardware is
# needed, and it runs as root.
#
# Run it (the tests do) as a foreground supervisor:
#
#   scripts/sound-server.sh [options] DIR
#     --kind pulse|pipewire      which server (default pulse)
#     --microphone pipe|sink|none
#         pipe  module-pipe-source reading DIR/microphone.fifo (made by the server once it
#               answers): what is written there is what the microphone hears. PulseAudio's waits for the writer; PipeWire's runs on the
#               graph clock and hears silence while nothing is written.
#         sink  a sink "voice" whose sound is the microphone, on the real-time clock
#               (paplay --device=voice); the script keeps it running and returns once it
#               delivers in real time
#         echo  (PulseAudio) as sink, and a room for echo cancellation: a second sink
#               "speakers", the default sink, heard by the microphone through
#               module-loopback source=speakers.monitor sink=voice latency_msec=100 at
#               ECHO_VOLUME (default 70 %: -9 dB, PulseAudio's volume being cubic); the far
#               end plays into speakers (paplay --device=speakers), the near end into voice
#         none  no microphone at all
#     --rate R --channels C --format float32le|s16le   the microphone's native format
#     --null-sink                another sink, talvora_null, whose monitor is a source too
#     --monitor-default          that monitor is the default source, not the microphone
#     --require-cookie           only clients presenting DIR/cookie (PulseAudio only)
#     --again                    DIR holds a server that was stopped: keep its files (a restart)
#
#   Once the server answers with the microphone as its default source it writes DIR/ready:
#     PULSE_SERVER=unix:...   SOURCE=the default source   SERVER_PIDS="the server's processes"
#     PIPEWIRE_RUNTIME_DIR=... (PipeWire: where its own clients, pw-record say, find it)
#   then waits. SIGTERM or SIGINT end everything it started; everything it starts dies with it
#   (setpriv --pdeathsig), so a supervisor started with a parent-death signal leaves nothing
#   behind. A server that cannot start fails loudly with its log, status 1.
#
# Or source it (the demo, the benchmarks, the examples' test):
#
#   sound_server_start [KIND [RATE [CHANNELS [MICROPHONE]]]]
#                                                 a "sink" (or MICROPHONE) microphone; exports PULSE_SERVER,
#                                                 SOUND_SERVER_DIR, SOUND_SERVER_SOURCE (and
#                                                 PIPEWIRE_RUNTIME_DIR for PipeWire)
#   sound_server_stop

SOUND_SERVER_SCRIPT=$(readlink -f "${BASH_SOURCE[0]}")

sound_server_start() {
  local kind=${1:-pulse} rate=${2:-48000} channels=${3:-1} microphone=${4:-sink} i
  SOUND_SERVER_DIR=$(mktemp -d /tmp/talvora-sound.XXXXXX)
  chmod 755 "$SOUND_SERVER_DIR"
  bash "$SOUND_SERVER_SCRIPT" --kind "$kind" --microphone "$microphone" --rate "$rate" --channels "$channels" \
    "$SOUND_SERVER_DIR" >"$SOUND_SERVER_DIR/supervisor.log" 2>&1 &
  SOUND_SERVER_PID=$!
  for i in $(seq 1 300); do
    if [ -f "$SOUND_SERVER_DIR/ready" ]; then
      # shellcheck disable=SC1091
      source "$SOUND_SERVER_DIR/ready"
      export PULSE_SERVER
      [ -n "${PIPEWIRE_RUNTIME_DIR:-}" ] && export PIPEWIRE_RUNTIME_DIR
      SOUND_SERVER_SOURCE=$SOURCE
      return 0
    fi
    kill -0 "$SOUND_SERVER_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "The private $kind sound server did not start:" >&2
  cat "$SOUND_SERVER_DIR/supervisor.log" >&2
  sound_server_stop
  return 1
}

sound_server_stop() {
  if [ -n "${SOUND_SERVER_PID:-}" ]; then
    kill "$SOUND_SERVER_PID" 2>/dev/null
    wait "$SOUND_SERVER_PID" 2>/dev/null
  fi
  [ -n "${SOUND_SERVER_DIR:-}" ] && rm -rf "$SOUND_SERVER_DIR"
  unset SOUND_SERVER_PID SOUND_SERVER_DIR SOUND_SERVER_SOURCE PULSE_SERVER PIPEWIRE_RUNTIME_DIR
}

# Sourced: the functions above are all there is.
[ "${BASH_SOURCE[0]}" != "$0" ] && return 0

set -uo pipefail
kind=pulse microphone=pipe rate=48000 channels=2 format=float32le
null_sink=0 monitor_default=0 require_cookie=0 again=0 dir=
while [ $# -gt 0 ]; do
  case $1 in
    --kind) kind=$2; shift ;;
    --microphone) microphone=$2; shift ;;
    --rate) rate=$2; shift ;;
    --channels) channels=$2; shift ;;
    --format) format=$2; shift ;;
    --null-sink) null_sink=1 ;;
    --monitor-default) monitor_default=1 ;;
    --require-cookie) require_cookie=1 ;;
    --again) again=1 ;;
    -*) echo "sound-server.sh: unknown option $1" >&2; exit 2 ;;
    *) dir=$1 ;;
  esac
  shift
done
[ -n "$dir" ] && [ -d "$dir" ] || { echo "sound-server.sh: DIR must be an existing folder" >&2; exit 2; }
dir=$(readlink -f "$dir")

log=$dir/server.log
children=()
fail() {
  echo "Private $kind sound server in $dir: $*" >&2
  echo "--- server log ---" >&2
  cat "$log" >&2 2>/dev/null
  stop_children
  exit 1
}
stop_children() {
  local pid
  [ ${#children[@]} -eq 0 ] && return
  for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  # A server that ignores the request (pipewire sometimes does) is killed after a moment.
  for _ in $(seq 1 20); do
    local alive=0
    for pid in "${children[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.05
  done
  for pid in "${children[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait "${children[@]}" 2>/dev/null
  children=()
}
napping=
trap '[ -n "$napping" ] && kill $napping 2>/dev/null; stop_children; exit 0' TERM INT HUP
trap 'stop_children' EXIT

# Starts a server process that dies with this script, logging into the one log.
spawn() {
  setpriv --pdeathsig KILL -- "$@" >>"$log" 2>&1 &
  children+=($!)
}

rm -f "$dir/ready"
mkdir -p "$dir/home" "$dir/runtime" "$dir/state" "$dir/config" "$dir/client-home" "$dir/client-runtime"
chmod 700 "$dir/runtime" "$dir/client-runtime"
[ $again -eq 1 ] || : >"$log"
[ $again -eq 1 ] || { head -c 256 /dev/urandom >"$dir/cookie" && chmod 600 "$dir/cookie"; }
# The pipe source makes its FIFO itself, and refuses one that exists (a writer of the old
# one must open the new one after a restart).
rm -f "$dir/microphone.fifo"
export HOME=$dir/home XDG_RUNTIME_DIR=$dir/runtime XDG_STATE_HOME=$dir/state XDG_CONFIG_HOME=$dir/config
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C
unset PULSE_SERVER PULSE_SOURCE PULSE_SINK DBUS_SESSION_BUS_ADDRESS

mic_name=talvora_mic
case $microphone in
  pipe) mic_source=$mic_name ;;
  sink) mic_source=voice.monitor; [ "$kind" = pipewire ] && mic_source=voice_mic ;;
  echo) mic_source=voice.monitor; [ "$kind" = pulse ] || fail "the echo room is PulseAudio only" ;;
  none) mic_source= ;;
  *) fail "unknown microphone kind $microphone" ;;
esac
[ $monitor_default -eq 1 ] && mic_source=talvora_null.monitor

# The commands that make the microphone, for either server's PulseAudio interface.
setup_commands=()
[ "$microphone" = pipe ] && setup_commands+=("load-module module-pipe-source source_name=$mic_name file=$dir/microphone.fifo format=$format rate=$rate channels=$channels")
[ $null_sink -eq 1 ] && setup_commands+=("load-module module-null-sink sink_name=talvora_null rate=$rate channels=$channels")

case $kind in
  pulse)
    socket=$dir/native
    auth="auth-anonymous=1"
    [ $require_cookie -eq 1 ] && auth="auth-anonymous=0 auth-cookie-enabled=1 auth-cookie=$dir/cookie"
    {
      echo "load-module module-native-protocol-unix socket=$socket $auth"
      [ "$microphone" = sink ] || [ "$microphone" = echo ] &&
        echo "load-module module-null-sink sink_name=voice rate=$rate channels=$channels"
      if [ "$microphone" = echo ]; then
        echo "load-module module-null-sink sink_name=speakers rate=$rate channels=$channels"
        echo "set-default-sink speakers"
      fi
      for command in "${setup_commands[@]}"; do echo "$command"; done
      [ -n "$mic_source" ] && echo "set-default-source $mic_source"
    } >"$dir/server.pa"
    # As root PulseAudio warns and carries on; everything it keeps per user goes to the
    # private folder. No D-Bus, no real-time scheduling, no idle exit, no pid file (a
    # second test server must not find the first one's).
    PULSE_RUNTIME_PATH=$dir/runtime PULSE_STATE_PATH=$dir/state spawn pulseaudio --daemonize=no --system=no -n \
      --file="$dir/server.pa" --exit-idle-time=-1 --disallow-exit --use-pid-file=no --high-priority=no \
      --realtime=no --no-cpu-limit --disable-shm=yes --log-target=stderr --log-level=info
    server_pids="${children[*]}"
    ;;
  pipewire)
    [ $require_cookie -eq 1 ] && fail "PipeWire's PulseAudio service takes no cookie"
    socket=$dir/runtime/pulse/native
    # No device monitors: this server has only the devices made below.
    mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d" \
      "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
    sed -E 's/^(alsa_monitor|v4l2_monitor|libcamera_monitor)\.enable\(\)/-- \1 off/' \
      /usr/share/wireplumber/main.lua.d/90-enable-all.lua >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/90-enable-all.lua"
    echo "-- no bluetooth" >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/90-enable-all.lua"
    rm -f "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/"*.conf
    if [ "$microphone" = sink ]; then
      # What is played into the sink "voice" comes out of the source "voice_mic": a
      # loopback whose capture side is a sink and whose playback side is a source. (The
      # sink's own monitor is not used: WirePlumber may link a player elsewhere.)
      cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/talvora-voice.conf" <<EOF
context.modules = [
  { name = libpipewire-module-loopback
    args = {
      audio.position = [ $( [ "$channels" -eq 1 ] && echo MONO || echo FL FR ) ]
      audio.rate = $rate
      capture.props = { node.name = "voice" media.class = "Audio/Sink" node.description = "voice" }
      playback.props = { node.name = "voice_mic" media.class = "Audio/Source" node.description = "voice microphone" }
    }
  }
]
EOF
    fi
    spawn dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/runtime/bus"
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/runtime/bus
    for _ in $(seq 1 100); do [ -S "$dir/runtime/bus" ] && break; sleep 0.02; done
    spawn pipewire
    for _ in $(seq 1 100); do [ -S "$dir/runtime/pipewire-0" ] && break; sleep 0.02; done
    spawn wireplumber
    spawn pipewire-pulse
    # The PulseAudio protocol first: that is the process a client talks to.
    server_pids="${children[3]} ${children[1]} ${children[2]}"
    ;;
  *) fail "unknown server kind $kind" ;;
esac

export PULSE_SERVER=unix:$socket PULSE_COOKIE=$dir/cookie
client() { HOME=$dir/client-home XDG_RUNTIME_DIR=$dir/client-runtime XDG_CONFIG_HOME=$dir/client-home/.config "$@"; }

answered=0
for _ in $(seq 1 500); do
  if [ -S "$socket" ] && client timeout 5 pactl info >/dev/null 2>&1; then answered=1; break; fi
  for pid in "${children[@]}"; do kill -0 "$pid" 2>/dev/null || fail "a server process ended while starting"; done
  sleep 0.02
done
[ $answered -eq 1 ] || fail "the server did not answer within 10 s"

if [ "$kind" = pipewire ]; then
  # PipeWire's PulseAudio service takes the microphone as commands once it runs.
  for command in "${setup_commands[@]}"; do
    # shellcheck disable=SC2086
    client pactl $command >/dev/null || fail "pactl $command failed"
  done
  if [ "$microphone" = sink ]; then
    # Speakers of their own as the default sink, as on a desktop: otherwise the default
    # sink is the loopback into the microphone, and an echo canceller taking what the
    # default sink plays as its far end would cancel the voice itself.
    client pactl load-module module-null-sink sink_name=speakers >/dev/null || fail "the speakers did not load"
    for _ in $(seq 1 250); do
      client pactl set-default-sink speakers 2>/dev/null && break
      sleep 0.02
    done
    client pactl info 2>/dev/null | grep -qx "Default Sink: speakers" || fail "the speakers are not the default sink"
  fi
  if [ -n "$mic_source" ]; then
    for _ in $(seq 1 250); do
      client pactl set-default-source "$mic_source" 2>/dev/null && break
      sleep 0.02
    done
  fi
fi

if [ -n "$mic_source" ]; then
  ok=0
  for _ in $(seq 1 250); do
    if client pactl info 2>/dev/null | grep -qx "Default Source: $mic_source"; then ok=1; break; fi
    sleep 0.02
  done
  [ $ok -eq 1 ] || fail "the default source is not $mic_source: $(client pactl info 2>&1 | grep 'Default Source')"
fi

if [ "$microphone" = echo ]; then
  # The room: what the speakers play reaches the microphone 100 ms later, quieter. The
  # loopback also keeps the speakers' sink running, so its monitor delivers in real time.
  client pactl load-module module-loopback source=speakers.monitor sink=voice latency_msec=100 \
    source_dont_move=true sink_dont_move=true >/dev/null || fail "the echo loopback did not load"
  for _ in $(seq 1 100); do
    input=$(client pactl list short sink-inputs 2>/dev/null | awk '/module-loopback/ {print $1; exit}')
    [ -n "$input" ] && break
    sleep 0.02
  done
  [ -n "${input:-}" ] || fail "the echo loopback has no stream"
  client pactl set-sink-input-volume "$input" "${ECHO_VOLUME:-70%}" || fail "the echo volume could not be set"
fi

if [ "$microphone" = sink ] || [ "$microphone" = echo ]; then
  # A stream of silence keeps the sink running on the real-time clock. A sink that starts
  # with no stream renders ahead of real time; until that head start has run out a new
  # recording receives nothing, so the script returns only once the sink is live.
  client setpriv --pdeathsig KILL -- pacat --playback --device=voice --format=s16le --rate="$rate" \
    --channels="$channels" --latency-msec=50 </dev/zero >/dev/null 2>>"$log" &
  children+=($!)
  live=0
  for _ in $(seq 1 200); do
    latency=$(client pactl list sinks 2>/dev/null | awk '/^\tName: voice$/ {found=1} found && /^\tLatency:/ {print $2; exit}')
    if [ -n "$latency" ] && [ "$latency" -lt 100000 ]; then live=1; break; fi
    sleep 0.05
  done
  [ $live -eq 1 ] || fail "the microphone did not reach real time (sink latency ${latency:-unknown} us)"
  # And the monitor delivers: a short recording hears the keep-alive stream.
  for _ in $(seq 1 100); do
    bytes=$(client timeout 0.5 parec --device="$mic_source" --latency-msec=20 --format=s16le --rate="$rate" --channels=1 2>/dev/null | wc -c)
    [ "$bytes" -gt 0 ] && break
  done
fi

{
  printf 'PULSE_SERVER=unix:%s\nSOURCE=%s\nSERVER_PIDS="%s"\n' "$socket" "$mic_source" "$server_pids"
  [ "$kind" = pipewire ] && printf 'PIPEWIRE_RUNTIME_DIR=%s\n' "$dir/runtime"
} >"$dir/ready.tmp"
mv "$dir/ready.tmp" "$dir/ready"

while true; do
  sleep 3600 &
  napping=$!
  wait $napping
  kill $napping 2>/dev/null
done
