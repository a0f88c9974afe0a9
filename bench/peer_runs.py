#!/usr/bin/env python3
"""Runs talvora-audio and the recorders people use side by side against the sound server
in PULSE_SERVER, whose default source must be the microphone bench/peers.sh prepares, and
prints the table of medians and the ratios to the targets.

Every run of every recorder goes the same way: the recorder starts; once it reports
"ready" (ours) or has written its first audio to the file (the others), the speech file
plays into the microphone in real time; half a second after the speech ends the recorder
is stopped ("stop" on standard input for ours, SIGINT for the others, which both close
their files properly) and reaped with wait4. The runs are interleaved (one of each
recorder per round) so that a slow moment of the machine does not land on one recorder.

What is measured, per run:
  whole-run CPU     user+system seconds from wait4's rusage, start-up and shut-down
                    included, per minute of audio in the file
  recording CPU     the sum of every thread's run time (/proc/PID/task/*/schedstat, in
                    nanoseconds) from the first audio/"ready" to just before the stop, per
                    minute of audio written in that window
  peak RSS          ru_maxrss from wait4
  start -> ready    from just before fork to the "ready" line on our standard output
  start -> audio    from just before fork to the first file size past the header (the
                    file is polled every 0.5 ms during start-up)
  audio thread      ours only: run time of the libpulse main loop thread ("talvora.pulse",
                    which also runs the voice processor and the tap) over the recording
                    window, divided by the frames written in that window / 2048
  decoder           ours with transcription: run time of the recognition worker over the
                    recording window / seconds of audio (the real-time factor)
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

RATE = 48000
TAP_FRAMES = 2048
POLL_SECONDS = 0.0005


def task_times(pid):
    """{tid: (name, run time in ns)} for every live thread of `pid`."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return out
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
        out[int(tid)] = (name, ns)
    return out


def wav_layout(path):
    """(offset of the sample data, bytes per frame, frames) of a WAV file; the data size
    is taken from the file's length when the header leaves it open."""
    with open(path, "rb") as f:
        blob = f.read(65536)
        size = os.fstat(f.fileno()).st_size
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise ValueError(f"{path} is not a WAV file")
    at, frame_bytes = 12, None
    while at + 8 <= len(blob):
        kind, length = blob[at:at + 4], int.from_bytes(blob[at + 4:at + 8], "little")
        if kind == b"fmt ":
            channels = int.from_bytes(blob[at + 10:at + 12], "little")
            bits = int.from_bytes(blob[at + 22:at + 24], "little")
            frame_bytes = channels * bits // 8
        if kind == b"data":
            offset = at + 8
            if length in (0, 0xFFFFFFFF) or offset + length > size:
                length = size - offset
            return offset, frame_bytes, length // frame_bytes
        at += 8 + length + (length & 1)
    raise ValueError(f"{path} has no data chunk")


def words(text):
    return re.findall(r"[a-z']+", text.lower())


def word_error_rate(reference, hypothesis):
    r, h = reference, hypothesis
    previous = list(range(len(h) + 1))
    for i in range(1, len(r) + 1):
        current = [i] + [0] * len(h)
        for j in range(1, len(h) + 1):
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (r[i - 1] != h[j - 1]))
        previous = current
    return previous[-1] / max(1, len(r))


class Recorder:
    def __init__(self, name, command, ours, transcribe=False):
        self.name, self.command, self.ours, self.transcribe = name, command, ours, transcribe


def recorders(binary, extra, pipewire_source=None):
    """Ours first (off, on), then the peers, then each extra build of ours (off, on)."""
    chosen = [
        Recorder("talvora-audio, transcription off", lambda out: [binary, out, "600", "false"], True),
        Recorder("talvora-audio, transcription on", lambda out: [binary, out, "600", "true"], True, True),
        Recorder("parec, float WAV, 43 ms fragments",
                 lambda out: ["parec", "--format=float32le", "--rate=48000", "--channels=1", "--file-format=wav",
                              "--latency-msec=43", out], False),
        Recorder("sox -t pulseaudio default",
                 lambda out: ["sox", "-q", "-t", "pulseaudio", "-r", "48000", "-c", "1", "default",
                              "-e", "floating-point", "-b", "32", out], False),
    ]
    if pipewire_source:
        # PipeWire's own recorder, straight from the graph rather than through its
        # PulseAudio service.
        chosen.append(Recorder("pw-record, float WAV",
                               lambda out: ["pw-record", f"--target={pipewire_source}", "--format=f32", "--rate=48000",
                                            "--channels=1", out], False))
    for label, path in extra:
        chosen.append(Recorder(f"{label}, transcription off", lambda out, p=path: [p, out, "600", "false"], True))
        chosen.append(Recorder(f"{label}, transcription on", lambda out, p=path: [p, out, "600", "true"], True, True))
    return chosen


def ends_with_last_sentence(transcript, last_sentence):
    """Whether most words of the last sentence read are among the transcript's last
    words: the final result of the last utterance made it into "finished"."""
    tail = set(words(transcript)[-(len(last_sentence) + 4):])
    return sum(w in tail for w in last_sentence) >= len(last_sentence) / 2


def run_once(recorder, out, speech, tail, reference, last_sentence):
    if os.path.exists(out):
        os.unlink(out)
    events, ready, finished = [], threading.Event(), threading.Event()
    stderr_path = out + ".stderr"
    with open(stderr_path, "wb") as stderr:
        start = time.monotonic()
        process = subprocess.Popen(recorder.command(out), stdin=subprocess.PIPE if recorder.ours else subprocess.DEVNULL,
                                   stdout=subprocess.PIPE if recorder.ours else subprocess.DEVNULL, stderr=stderr)
    pid = process.pid

    def read_events():
        for line in process.stdout:
            now = time.monotonic()
            try:
                event = json.loads(line)
            except ValueError:
                event = {"event": "unparsed", "line": line.decode(errors="replace")}
            events.append((now - start, event))
            if event.get("event") == "ready":
                ready.set()
            if event.get("event") in ("finished", "error"):
                finished.set()

    reader = None
    if recorder.ours:
        reader = threading.Thread(target=read_events, daemon=True)
        reader.start()

    # Start-up: the file's sizes as they change, until well past any header.
    sizes, deadline = [], start + 5
    while time.monotonic() < deadline and process.poll() is None:
        try:
            size = os.stat(out).st_size
        except OSError:
            size = -1
        if not sizes or sizes[-1][1] != size:
            sizes.append((time.monotonic() - start, size))
        if size > 4096 and (ready.is_set() or not recorder.ours):
            break
        time.sleep(POLL_SECONDS)
    if recorder.ours and not ready.wait(5):
        process.kill()
        raise RuntimeError(f"{recorder.name}: no ready event; events {events}")

    window_start = time.monotonic()
    threads_a = task_times(pid)
    size_a = os.stat(out).st_size
    subprocess.run(["paplay", "--device=voice", speech], check=True)
    time.sleep(tail)
    threads_b = task_times(pid)
    size_b = os.stat(out).st_size
    window_end = time.monotonic()

    stop_at = time.monotonic() - start
    if recorder.ours:
        try:
            process.stdin.write(b"stop\n")
            process.stdin.flush()
        except BrokenPipeError:
            pass  # it stopped on its own (an error event says why)
    else:
        process.send_signal(signal.SIGINT)
    _, status, usage = os.wait4(pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if reader:
        reader.join(5)
        process.stdout.close()
        try:
            process.stdin.close()
        except BrokenPipeError:
            pass

    offset, frame_bytes, frames = wav_layout(out)
    first_audio = next((t for t, s in sizes if s > offset), None)
    window_frames = (max(size_b, offset) - max(size_a, offset)) / frame_bytes
    window_minutes = window_frames / RATE / 60
    total_ns = lambda threads: sum(ns for _, ns in threads.values())  # noqa: E731
    # A recorder that stopped on its own before the speech was over has no recording
    # window to speak of.
    alive = bool(threads_b)
    result = {
        "recorder": recorder.name,
        "exit": process.returncode,
        "audio_seconds": frames / RATE,
        "cpu_seconds": usage.ru_utime + usage.ru_stime,
        "cpu_per_audio_minute": (usage.ru_utime + usage.ru_stime) / (frames / RATE / 60),
        "recording_cpu_per_audio_minute":
            (total_ns(threads_b) - total_ns(threads_a)) / 1e9 / window_minutes if alive and window_minutes > 0 else None,
        "completed": alive,
        "peak_rss_mib": usage.ru_maxrss / 1024,
        "first_audio_ms": first_audio * 1000 if first_audio is not None else None,
        "window_seconds": window_end - window_start,
        "stderr_bytes": os.path.getsize(stderr_path),
    }
    if recorder.ours:
        kinds = [e.get("event") for _, e in events]
        result["ready_ms"] = next(t for t, e in events if e.get("event") == "ready") * 1000
        result["levels"] = kinds.count("level")
        result["errors"] = [e.get("message") for _, e in events if e.get("event") == "error"]
        result["completed"] = alive and not result["errors"]
        result["warnings"] = [e.get("message") for _, e in events if e.get("event") == "warning"]
        done = [(t, e) for t, e in events if e.get("event") == "finished"]
        if done:
            result["stop_to_finished_ms"] = (done[0][0] - stop_at) * 1000
            result["duration_seconds"] = done[0][1].get("durationSeconds")
            transcript = done[0][1].get("localTranscript", "")
            result["transcript"] = transcript
            if recorder.transcribe:
                result["word_error_rate"] = word_error_rate(reference, words(transcript))
                result["has_last_words"] = ends_with_last_sentence(transcript, last_sentence)
        buffers = window_frames / TAP_FRAMES if alive else 0
        pulse = [(tid, ns - threads_a.get(tid, (None, 0))[1]) for tid, (name, ns) in threads_b.items()
                 if name == "talvora.pulse"]
        if pulse and buffers > 0:
            result["audio_thread_us_per_buffer"] = pulse[0][1] / 1e3 / buffers
        # The capture queue is named "talvora.voice.c"; the recognition worker, started
        # from it, inherits the name and comes later (a higher thread id).
        queue_like = sorted((tid, ns - threads_a.get(tid, (None, 0))[1]) for tid, (name, ns) in threads_b.items()
                            if name == "talvora.voice.c")
        if queue_like and buffers > 0:
            result["queue_thread_us_per_buffer"] = queue_like[0][1] / 1e3 / buffers
        if recorder.transcribe and len(queue_like) > 1:
            result["decoder_real_time_factor"] = max(ns for _, ns in queue_like[1:]) / 1e9 / (window_frames / RATE)
    return result


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=2):
    if value is None:
        return "n/a"
    return f"{value:.{digits}f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--speech", required=True)
    parser.add_argument("--reference", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", required=True)
    parser.add_argument("--tail", type=float, default=0.5)
    parser.add_argument("--storage-json", help="storage_bench's --benchmark_out file")
    parser.add_argument("--note", action="append", default=[])
    parser.add_argument("--pipewire-source", help="the server is PipeWire: add pw-record on this source")
    parser.add_argument("--extra", action="append", default=[], metavar="LABEL=BINARY",
                        help="another build of talvora-audio to run alongside (a proposed change)")
    args = parser.parse_args()

    with open(args.reference) as f:
        sentences = [words(line) for line in f if line.strip()]
    reference = [w for sentence in sentences for w in sentence]
    chosen = recorders(args.binary, [tuple(e.split("=", 1)) for e in args.extra], args.pipewire_source)
    results = {r.name: [] for r in chosen}
    with open(os.path.join(args.work, "runs.jsonl"), "w") as log:
        for round_ in range(args.runs):
            for recorder in chosen:
                out = os.path.join(args.work, re.sub(r"[^a-z0-9]+", "-", recorder.name.lower()) + f"-{round_}.wav")
                result = run_once(recorder, out, args.speech, args.tail, reference, sentences[-1])
                result["round"] = round_
                results[recorder.name].append(result)
                log.write(json.dumps(result) + "\n")
                log.flush()
                print(f"  round {round_ + 1}/{args.runs}: {recorder.name}: {result['audio_seconds']:.2f} s audio, "
                      f"{result['cpu_seconds']:.3f} CPU s, {result['peak_rss_mib']:.1f} MiB"
                      + (f", errors {result['errors']}" if result.get("errors") else ""), file=sys.stderr)
                time.sleep(1)

    def m(name, key):
        """The median over the runs that recorded the whole speech."""
        return median([r.get(key) for r in results[name] if r.get("completed")])

    def completed_note(name):
        done = sum(1 for r in results[name] if r.get("completed"))
        return "" if done == len(results[name]) else f" ({done} of {len(results[name])} runs completed)"

    off, on, parec, sox = (r.name for r in chosen[:4])
    lines = []
    lines.append(f"Medians of {args.runs} runs each (a run that an error stopped early is left out of its row's "
                 "medians and counted below); every run records the same "
                 f"{median([r['audio_seconds'] for rs in results.values() for r in rs]):.1f} s of speech at 48 kHz mono.")
    lines.append("")
    lines.append("| recorder | CPU s per audio minute (whole run) | CPU s per audio minute (while recording) | "
                 "peak RSS (MiB) | start → ready (ms) | start → first audio in file (ms) | "
                 "audio thread per 2048 frames (µs) | capture queue per 2048 frames (µs) |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|")
    for r in chosen:
        n = r.name
        lines.append(f"| {n}{completed_note(n)} | {fmt(m(n, 'cpu_per_audio_minute'), 3)} | {fmt(m(n, 'recording_cpu_per_audio_minute'), 3)} | "
                     f"{fmt(m(n, 'peak_rss_mib'), 1)} | {fmt(m(n, 'ready_ms'), 1) if r.ours else '—'} | "
                     f"{fmt(m(n, 'first_audio_ms'), 1)} | "
                     f"{fmt(m(n, 'audio_thread_us_per_buffer'), 0) if r.ours else '—'} | "
                     f"{fmt(m(n, 'queue_thread_us_per_buffer'), 0) if r.ours else '—'} |")
    if not args.pipewire_source:
        lines.append("| pw-record | not run: it records only from a PipeWire graph (`SOUND_SERVER=pipewire "
                     "bench/peers.sh` runs every row on one) | | | | | | |")
    storage = None
    if args.storage_json:
        with open(args.storage_json) as f:
            bench = json.load(f)
        storage = {b["name"]: b for b in bench["benchmarks"] if "x_realtime" in b}
        for name, b in storage.items():
            label = "with voice processing" if "voice_processing:1" in name else "tap to file"
            lines.append(f"| storage path, faster than real time ({label}) | "
                         f"{b['cpu_per_audio_s'] * 60:.3f} | | | | | | "
                         f"**{b['x_realtime']:.0f}× real time** |")
    lines.append("")

    transcribed = results[on]
    lines.append("Transcription on: decoder real-time factor (worker CPU / audio) "
                 f"{fmt(m(on, 'decoder_real_time_factor'), 3)}; word error rate against the read text "
                 f"{fmt(m(on, 'word_error_rate'), 3)}; \"finished\" {fmt(m(on, 'stop_to_finished_ms'), 0)} ms after "
                 f"\"stop\"; runs whose transcript ends with the last sentence read: "
                 f"{sum(1 for r in transcribed if r.get('has_last_words'))}/{len(transcribed)}.")
    all_ours = results[off] + results[on]
    errors = [(r["recorder"], r["round"], e) for r in all_ours for e in r.get("errors", [])]
    lines.append(f"Error events in our runs: {len(errors)}" + ("".join(f"; {n} round {k + 1}: {e}" for n, k, e in errors)))
    warnings = sorted({w for r in all_ours for w in r.get("warnings", [])})
    if warnings:
        lines.append("Warnings: " + "; ".join(warnings))
    for extra_off, extra_on in zip(chosen[4::2], chosen[5::2]):
        label = extra_off.name.rsplit(",", 1)[0]
        extra_errors = [e for r in results[extra_off.name] + results[extra_on.name] for e in r.get("errors", [])]
        cpu = m(extra_off.name, "cpu_per_audio_minute")
        lines.append(f"{label}: CPU per audio minute {fmt(cpu, 3)} s = "
                     f"{fmt(cpu / m(parec, 'cpu_per_audio_minute') if cpu else None)}× parec; decoder real-time factor "
                     f"{fmt(m(extra_on.name, 'decoder_real_time_factor'), 3)}; word error rate "
                     f"{fmt(m(extra_on.name, 'word_error_rate'), 3)}; error events {len(extra_errors)}.")
        all_ours = all_ours + results[extra_off.name] + results[extra_on.name]
    noisy = [r["recorder"] for r in all_ours if r["stderr_bytes"]]
    lines.append(f"Our standard error: {'silent in every run' if not noisy else 'NOT silent in ' + ', '.join(noisy)}.")
    lines.append("")

    def ratio(a, b):
        return a / b if a is not None and b else None

    cpu_ratio = ratio(m(off, "cpu_per_audio_minute"), m(parec, "cpu_per_audio_minute"))
    cpu_ratio_rec = ratio(m(off, "recording_cpu_per_audio_minute"), m(parec, "recording_cpu_per_audio_minute"))
    rss_ratio = ratio(m(off, "peak_rss_mib"), m(parec, "peak_rss_mib"))
    ready = m(off, "ready_ms")
    rtf = m(on, "decoder_real_time_factor")
    best_storage = min((b["x_realtime"] for b in storage.values()), default=None) if storage else None
    finals = all(r.get("transcript") for r in transcribed)

    def verdict(ok):
        return "met" if ok else "MISSED"

    lines.append("| target | measured | |")
    lines.append("|---|---:|---|")
    lines.append(f"| CPU per audio minute ≤ 2× parec (transcription off, voice processing on), whole run | "
                 f"{fmt(cpu_ratio)}× | {verdict(cpu_ratio is not None and cpu_ratio <= 2)} |")
    lines.append(f"| the same, while recording only | {fmt(cpu_ratio_rec)}× | "
                 f"{verdict(cpu_ratio_rec is not None and cpu_ratio_rec <= 2)} |")
    lines.append(f"| peak memory ≤ 2× parec | {fmt(rss_ratio)}× | {verdict(rss_ratio is not None and rss_ratio <= 2)} |")
    lines.append(f"| start → ready < 50 ms (local server) | {fmt(ready, 1)} ms | {verdict(ready is not None and ready < 50)} |")
    if best_storage is not None:
        lines.append(f"| storage ≥ 50× real time | {best_storage:.0f}× (slower variant) | {verdict(best_storage >= 50)} |")
    lines.append(f"| transcription: real-time factor well under 1 | {fmt(rtf, 3)} | {verdict(rtf is not None and rtf < 0.5)} |")
    lines.append(f"| transcription: \"finished\" carries the transcript | "
                 f"{sum(1 for r in transcribed if r.get('transcript'))}/{len(transcribed)} runs | {verdict(finals)} |")
    lines.append(f"| no error event in any of our runs | {len(errors)} | {verdict(not errors)} |")
    for note in args.note:
        lines.append("")
        lines.append(note)
    table = "\n".join(lines)
    with open(os.path.join(args.work, "table.md"), "w") as f:
        f.write(table + "\n")
    print(table)


if __name__ == "__main__":
    main()
