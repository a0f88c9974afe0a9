#!/usr/bin/env python3
"""The recorder's voice processing on a private server (bench/voice-device.sh prepares it
and passes the speech): the word error of the transcript of speech played into the
microphone, RUNS recordings, each as peer_runs.py records (ready, the speech in real
time, half a second, stop).
"""
import argparse
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_runs  # noqa: E402


def reference_words(path):
    with open(path) as f:
        return peer_runs.words(f.read())


def speech_rows(args):
    reference = reference_words(args.reference)
    recorder = peer_runs.Recorder("talvora-audio, transcription on",
                                  lambda out: [args.binary, out, "600", "true"], True, True)
    rates = []
    with open(os.path.join(args.work, "runs.jsonl"), "a") as log:
        for run in range(args.runs):
            out = os.path.join(args.work, f"speech-{run}.wav")
            result = peer_runs.run_once(recorder, out, args.speech, 0.5, reference, reference[-5:])
            log.write(json.dumps(result) + "\n")
            rates.append(result.get("word_error_rate"))
            print(f"run {run + 1}: word error {100 * rates[-1]:.1f} %, warnings {result.get('warnings')}", file=sys.stderr)
    print(f"| recordings | word error, each | median |\n|---:|---|---:|\n"
          f"| {len(rates)} | {', '.join(f'{100 * r:.1f} %' for r in rates)} | {100 * statistics.median(rates):.1f} % |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["speech", "echo"], default="speech")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--speech", required=True)
    parser.add_argument("--reference", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    speech_rows(args)


if __name__ == "__main__":
    main()
