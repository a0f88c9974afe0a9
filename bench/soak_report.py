#!/usr/bin/env python3
"""The soak's verdict, from what bench/soak.sh left in its folder: events.jsonl (the
recorder's standard output), stderr.txt, rss.tsv (the 10-second samples), time.txt
(/usr/bin/time's elapsed, user, system, peak KiB). Prints the figures and one line per
check; exits 1 when a check failed."""
import argparse
import json
import re
import sys
import wave

# Memory counts as flat when nothing after the first minute rises above the first
# minute's figure by more than this much (the transcript itself grows by a few bytes a
# word; a leak per buffer would be tens of MiB over half an hour).
FLAT_MARGIN_KIB = 4 * 1024
# The recorder stops at the first meter tick (every 100 ms) past its maximum; a new record
# stream of a monitor source starts with the last fragment or so the source already had,
# and the voice processor holds back under one 10 ms block. The file must be within this
# of the microphone's real-time output.
FRAME_TOLERANCE_SECONDS = 0.2
# Recognition must have kept going to the end: the transcript holds at least this share of
# the words read into the microphone (recognition errors cost a few words; a recognizer
# that gave up after ten minutes would leave two thirds out).
TRANSCRIPT_SHARE = 0.8


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--frames", type=int, required=True)
    parser.add_argument("--rate", type=float, required=True)
    parser.add_argument("--exit-status", type=int, required=True)
    parser.add_argument("--reference", required=True)
    args = parser.parse_args()

    events, unparsed = [], 0
    with open(f"{args.dir}/events.jsonl", encoding="utf-8", errors="replace") as f:
        for line in f:
            try:
                events.append(json.loads(line))
            except ValueError:
                unparsed += 1
    kinds = {}
    for e in events:
        kinds[e.get("event")] = kinds.get(e.get("event"), 0) + 1
    finished = [e for e in events if e.get("event") == "finished"]
    errors = [e for e in events if e.get("event") == "error"]
    warnings = [e for e in events if e.get("event") == "warning"]
    with open(f"{args.dir}/stderr.txt", "rb") as f:
        stderr = f.read()
    with open(f"{args.dir}/time.txt") as f:
        timed = f.read().split()
    elapsed, user, system, peak_kib = float(timed[-4]), float(timed[-3]), float(timed[-2]), int(timed[-1])

    samples = []
    with open(f"{args.dir}/rss.tsv") as f:
        next(f)
        for line in f:
            s, rss, hwm, threads, cpu = line.split("\t")
            samples.append((float(s), int(rss), int(hwm), int(threads), float(cpu)))

    def at(seconds):
        """The last sample taken at or before `seconds`."""
        before = [x for x in samples if x[0] <= seconds + 1]
        return before[-1] if before else None

    audio_seconds = args.frames / args.rate if args.rate else 0
    print(f"recorder: {elapsed:.1f} s wall, {user:.1f} s user + {system:.1f} s system CPU "
          f"({(user + system) / (audio_seconds / 60) if audio_seconds else 0:.2f} CPU s per audio minute), peak RSS {peak_kib / 1024:.1f} MiB")
    print("events:", ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())), f"(unparsed lines: {unparsed})")
    for w in warnings:
        print("warning:", w.get("message"))
    for e in errors:
        print("error:", e.get("message"))
    print("RSS (MiB) at:")
    marks = [m for m in (60, 300, 600, 1200, 1800) if m <= args.seconds]
    if args.seconds not in marks:
        marks.append(args.seconds)
    last = samples[-1][0] if samples else 0
    for m in marks:
        s = at(m)
        if m > last + 10:
            print(f"  {m / 60:5.1f} min  no sample: the recorder had exited at about {last:.0f} s")
        elif s:
            print(f"  {m / 60:5.1f} min  (sample at {s[0]:7.1f} s): RSS {s[1] / 1024:7.1f}  high-water {s[2] / 1024:7.1f}  "
                  f"threads {s[3]}  CPU so far {s[4]:.1f} s")
    first_minute = at(60)
    later = [x for x in samples if x[0] > 61]
    growth_kib = max(x[1] for x in later) - first_minute[1] if first_minute and later else None
    slope = None
    tail = [x for x in samples if x[0] >= 300]
    if len(tail) >= 2:
        n = len(tail)
        mx = sum(x[0] for x in tail) / n
        my = sum(x[1] for x in tail) / n
        den = sum((x[0] - mx) ** 2 for x in tail)
        slope = sum((x[0] - mx) * (x[1] - my) for x in tail) / den * 60 if den else 0.0
    if growth_kib is not None:
        print(f"RSS growth after the first minute: {growth_kib / 1024:+.2f} MiB at most"
              + (f"; trend from 5 min on {slope:+.1f} KiB per minute" if slope is not None else ""))

    expected_frames = args.seconds * args.rate
    difference = args.frames - expected_frames
    print(f"file: {args.frames} frames at {args.rate:g} Hz = {args.frames / args.rate if args.rate else 0:.3f} s; "
          f"{args.seconds:g} s of microphone = {expected_frames:.0f} frames; "
          f"difference {difference:+.0f} frames ({difference / args.rate * 1000 if args.rate else 0:+.1f} ms)")

    transcript = finished[0].get("localTranscript", "") if finished else ""
    words = re.findall(r"[a-z']+", transcript.lower())
    with open(args.reference) as f:
        per_loop = len(f.read().split())
    with wave.open(f"{args.dir}/input/voice-48k.wav") as w:
        loop_seconds = w.getnframes() / w.getframerate()
    words_read = per_loop * args.seconds / loop_seconds
    print(f"transcript: {len(words)} words; about {words_read:.0f} were read ({per_loop} per {loop_seconds:.1f} s pass)")
    if words:
        print("  starts:", " ".join(words[:20]), "...")
        print("  ends:  ...", " ".join(words[-20:]))

    checks = [
        ("exit status 0", args.exit_status == 0),
        ("standard error silent", not stderr),
        ("no error event", not errors),
        ("one ready event", kinds.get("ready", 0) == 1),
        ("level events about every 100 ms", kinds.get("level", 0) >= 0.95 * args.seconds * 10),
        ("one finished event", len(finished) == 1),
        ("durationSeconds equals the maximum",
         bool(finished) and abs(float(finished[0].get("durationSeconds", -1)) - args.seconds) < 1e-6),
        ("finished carries a transcript", bool(words)),
        (f"the transcript covers the whole recording (at least {TRANSCRIPT_SHARE:.0%} of the words read)",
         len(words) >= TRANSCRIPT_SHARE * words_read),
        (f"file within {FRAME_TOLERANCE_SECONDS} s of the microphone's output",
         args.rate > 0 and abs(difference) <= FRAME_TOLERANCE_SECONDS * args.rate),
        (f"memory flat after the first minute (+{FLAT_MARGIN_KIB // 1024} MiB at most)",
         growth_kib is not None and growth_kib <= FLAT_MARGIN_KIB),
    ]
    if finished:
        print(f"finished: durationSeconds {finished[0].get('durationSeconds')}")
    failed = 0
    for name, ok in checks:
        print(("PASS " if ok else "FAIL ") + name)
        failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
