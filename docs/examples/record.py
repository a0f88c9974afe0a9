#!/usr/bin/env python3
"""Records a voice note with talvora-audio from Python: prints the meter, stops after
SECONDS (or when the recorder stops by itself), and prints the transcript.

    python3 record.py [TALVORA_AUDIO] OUTPUT SECONDS
"""
import json
import subprocess
import sys
import threading

args = sys.argv[1:]
recorder = args.pop(0) if len(args) == 3 else "talvora-audio"
output, seconds = args[0], float(args[1])

process = subprocess.Popen(
    [recorder, output, "1800", "true"],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

# Ask for the stop after `seconds`; the recorder then finishes about a second later.
def stop_later():
    try:
        process.stdin.write("stop\n")
        process.stdin.flush()
    except BrokenPipeError:
        pass  # it had already stopped by itself

timer = threading.Timer(seconds, stop_later)
timer.start()

result = None
for line in process.stdout:
    event = json.loads(line)
    kind = event["event"]
    if kind == "level":
        print(f'{event["elapsedSeconds"]:5.1f} s  level {event["level"]:.2f}', flush=True)
    elif kind in ("warning", "error"):
        print(f'{kind}: {event["message"]}', file=sys.stderr)
    elif kind == "finished":
        result = event

timer.cancel()
status = process.wait()
if result is None:
    sys.exit(f"talvora-audio failed (exit status {status})")
print(f'Recorded {result["durationSeconds"]:.1f} s to {output}')
print(f'Transcript: {result["localTranscript"]}')
