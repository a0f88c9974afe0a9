#!/usr/bin/env python3
"""The recorder's voice processing on a private server (bench/voice-device.sh prepares it
and passes the speech).

speech: the word error of the transcript of speech played into the microphone, RUNS
        recordings, each as peer_runs.py records (ready, the speech in real time, half a
        second, stop).
echo:   the server's echo room (scripts/sound-server.sh --microphone echo): the far end
        (the same sentences in the opposite order) plays into "speakers", which the
        microphone hears through the 100 ms loopback; the near end plays into "voice".
        Three conditions (far end only, near end only, both: double talk), each with
        cancellation and without: for "without" the default sink is "voice", whose
        monitor is the microphone, so the recorder is offered no reference while the
        echo path stays as it is. A parallel parec of the microphone is what the
        microphone heard. Echo reduction: the level of the microphone over the level of
        the file, from 2 s after the far end starts to its end. Near end: the file's
        level against the microphone's, and the correlation of their envelopes (10 ms
        levels, at the best alignment).
"""
import argparse
import array
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

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


RATE = peer_runs.RATE


def read_float_wav(path):
    offset, frame_bytes, frames = peer_runs.wav_layout(path)
    samples = array.array("f")
    with open(path, "rb") as f:
        f.seek(offset)
        samples.frombytes(f.read(frames * frame_bytes))
    return samples


def onset(samples, threshold=0.003):
    return next((i for i, x in enumerate(samples) if abs(x) > threshold), None)


def rms(samples, start, end):
    start, end = max(0, start), min(len(samples), end)
    if end <= start:
        return 0.0
    return math.sqrt(sum(x * x for x in samples[start:end]) / (end - start))


def db(ratio):
    return 20 * math.log10(ratio) if ratio > 0 else float("inf")


def envelope(samples, start, end, window=RATE // 100):
    return [rms(samples, at, at + window) for at in range(max(0, start), min(len(samples), end) - window, window)]


def correlation(a, b):
    n = min(len(a), len(b))
    if n < 2:
        return 0.0
    a, b = a[:n], b[:n]
    ma, mb = sum(a) / n, sum(b) / n
    ab = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    aa = sum((x - ma) ** 2 for x in a)
    bb = sum((y - mb) ** 2 for y in b)
    return ab / math.sqrt(aa * bb) if aa > 0 and bb > 0 else 0.0


def matched_words(reference, hypothesis):
    """How many words of `reference` the hypothesis has, in order (longest common subsequence)."""
    previous = [0] * (len(hypothesis) + 1)
    for r in reference:
        current = [0]
        for j, h in enumerate(hypothesis):
            current.append(previous[j] + 1 if r == h else max(previous[j + 1], current[j]))
        previous = current
    return previous[-1]


def record(args, out, plays):
    """One recording with transcription while `plays` ([(device, file)]) play together,
    with a parallel parec of the microphone. Returns (transcript, file, microphone)."""
    mic_out = out.replace(".wav", "-microphone.wav")
    events, ready, finished = [], threading.Event(), threading.Event()
    process = subprocess.Popen([args.binary, out, "600", "true"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def read_events():
        for line in process.stdout:
            event = json.loads(line)
            events.append(event)
            if event.get("event") == "ready":
                ready.set()
            if event.get("event") in ("finished", "error"):
                finished.set()

    threading.Thread(target=read_events, daemon=True).start()
    if not ready.wait(5):
        process.kill()
        raise RuntimeError(f"no ready event: {events}")
    parec = subprocess.Popen(["parec", "--device=voice.monitor", "--format=float32le", f"--rate={RATE}",
                              "--channels=1", "--file-format=wav", "--latency-msec=20", mic_out])
    time.sleep(0.3)
    players = [subprocess.Popen(["paplay", f"--device={device}", path]) for device, path in plays]
    for p in players:
        p.wait()
    time.sleep(1.0)
    process.stdin.write(b"stop\n")
    process.stdin.flush()
    parec.send_signal(signal.SIGINT)
    parec.wait()
    finished.wait(10)
    process.wait()
    done = [e for e in events if e.get("event") == "finished"]
    warnings = [e.get("message") for e in events if e.get("event") == "warning"]
    return (done[0].get("localTranscript", "") if done else ""), read_float_wav(out), read_float_wav(mic_out), warnings


def echo_rows(args):
    near_words = reference_words(args.reference)
    far_path = os.path.join(args.work, "far-end.wav")
    # The far end: the same sentences in the opposite order, so that in double talk each
    # side says something else.
    folder = "/usr/share/pocketsphinx/test/data/librivox"
    excerpts = sorted(p for p in os.listdir(folder) if p.endswith(".wav"))
    with open(args.reference) as f:
        sentences = [line.strip() for line in f if line.strip()]
    far_words = peer_runs.words(" ".join(reversed(sentences)))
    parts = []
    for i, name in enumerate(reversed(excerpts)):
        parts.append(os.path.join(args.work, f"far-{i}.wav"))
        subprocess.run(["sox", os.path.join(folder, name), "-r", str(RATE), "-c", "1", "-e", "floating-point",
                        parts[-1], "pad", "0", "1"], check=True)
    subprocess.run(["sox"] + parts + [far_path], check=True)
    far_seconds = len(read_float_wav(far_path)) / RATE
    rows = []
    for condition, plays in (("far end only", [("speakers", far_path)]),
                             ("near end only", [("voice", args.speech)]),
                             ("double talk", [("speakers", far_path), ("voice", args.speech)])):
        for cancelling in (True, False):
            subprocess.run(["pactl", "set-default-sink", "speakers" if cancelling else "voice"], check=True)
            for run in range(args.runs):
                out = os.path.join(args.work, f"{condition.split()[0]}-{'on' if cancelling else 'off'}-{run}.wav")
                transcript, file, mic, warnings = record(args, out, plays)
                hyp = peer_runs.words(transcript)
                row = {"condition": condition, "cancelling": cancelling, "run": run, "transcript": transcript,
                       "warnings": warnings}
                # The file and the parec of the microphone end together (both stopped at
                # once): the same moment is `offset` frames further into the file.
                offset = len(file) - len(mic)
                start = onset(mic)
                if condition == "far end only":
                    span = (start + 2 * RATE, start + int(far_seconds * RATE))
                    row["echo_reduction_db"] = db(rms(mic, *span) /
                                                  max(1e-9, rms(file, span[0] + offset, span[1] + offset)))
                    row["far_words_in_transcript"] = matched_words(far_words, hyp) / len(far_words)
                else:
                    row["near_word_error"] = peer_runs.word_error_rate(near_words, hyp)
                if condition == "near end only":
                    end = len(mic) - RATE // 2
                    a = envelope(mic, start, end)
                    # The processing's delay and the two stops' jitter: the best alignment
                    # within 150 ms.
                    shift = max(range(-RATE * 3 // 20, RATE * 3 // 20 + 1, RATE // 1000),
                                key=lambda d: correlation(a, envelope(file, start + offset + d, end + offset + d)))
                    row["near_envelope_correlation"] = correlation(
                        a, envelope(file, start + offset + shift, end + offset + shift))
                    row["near_level_db"] = db(rms(file, start + offset + shift, end + offset + shift) /
                                              rms(mic, start, end))
                rows.append(row)
                print(json.dumps({k: v for k, v in row.items() if k != "transcript"}), file=sys.stderr)
    subprocess.run(["pactl", "set-default-sink", "speakers"], check=True)
    with open(os.path.join(args.work, "runs.jsonl"), "a") as log:
        for row in rows:
            log.write(json.dumps(row) + "\n")

    def med(condition, cancelling, key):
        values = [r[key] for r in rows if r["condition"] == condition and r["cancelling"] == cancelling and key in r]
        return statistics.median(values) if values else None

    print("| condition | measure | with cancellation | without |\n|---|---|---:|---:|")
    for condition, key, unit, scale in (("far end only", "echo_reduction_db", " dB", 1),
                                        ("far end only", "far_words_in_transcript", " %", 100),
                                        ("near end only", "near_level_db", " dB", 1),
                                        ("near end only", "near_envelope_correlation", "", 1),
                                        ("near end only", "near_word_error", " %", 100),
                                        ("double talk", "near_word_error", " %", 100)):
        on, off = med(condition, True, key), med(condition, False, key)
        cell = lambda v: "—" if v is None else f"{v * scale:.2f}{unit}" if unit != " %" else f"{v * scale:.1f}{unit}"  # noqa: E731
        print(f"| {condition} | {key.replace('_', ' ')} | {cell(on)} | {cell(off)} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["speech", "echo"], default="speech")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--speech", required=True)
    parser.add_argument("--reference", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    (echo_rows if args.mode == "echo" else speech_rows)(args)


if __name__ == "__main__":
    main()
