#!/usr/bin/env python3
"""Records a voice note with talvora-audio: prints the meter, stops after SECONDS (or
when the recorder stops by itself), then prints the transcript.

    python3 record.py OUTPUT SECONDS

The recorder is the talvora-audio on PATH, or the program TALVORA_AUDIO names.
"""
import json, os, subprocess, sys, threading

output, seconds = sys.argv[1], float(sys.argv[2])
recorder = os.environ.get("TALVORA_AUDIO", "talvora-audio")
try:
    process = subprocess.Popen([recorder, output, "1800", "true"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
except OSError as error:
    sys.exit(f"cannot start {recorder}: {error.strerror} (install it, or set TALVORA_AUDIO)")

def stop():  # the recorder closes the file at once; "finished" follows a second later
    try:
        process.stdin.write("stop\n")
        process.stdin.flush()
    except BrokenPipeError:
        pass  # it had already stopped by itself

timer = threading.Timer(seconds, stop)
timer.start()
result = None
for line in process.stdout:
    event = json.loads(line)
    if event["event"] == "level":
        print(f'{event["elapsedSeconds"]:5.1f} s  level {event["level"]:.2f}', flush=True)
    elif event["event"] in ("warning", "error"):
        print(f'{event["event"]}: {event["message"]}', file=sys.stderr)
    elif event["event"] == "finished":
        result = event
timer.cancel()
status = process.wait()
if result is None:
    sys.exit(f"talvora-audio failed (exit status {status})")
print(f'Recorded {result["durationSeconds"]:.1f} s to {output}')
print(f'Transcript: {result["localTranscript"]}')
