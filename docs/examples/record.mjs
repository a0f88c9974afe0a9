// Records a voice note with talvora-audio: prints the meter, stops after SECONDS (or
// when the recorder stops by itself), then prints the transcript.
//
//     node record.mjs OUTPUT SECONDS
//
// The recorder is the talvora-audio on PATH, or the program TALVORA_AUDIO names.
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";

const [output, seconds] = process.argv.slice(2);
const recorder = process.env.TALVORA_AUDIO || "talvora-audio";
const child = spawn(recorder, [output, "1800", "true"], { stdio: ["pipe", "pipe", "inherit"] });
child.stdin.on("error", () => {}); // it may have stopped by itself before our "stop"
// The recorder closes the file at once; "finished" follows a second later.
const timer = setTimeout(() => child.stdin.end("stop\n"), Number(seconds) * 1000);

let result = null;
createInterface({ input: child.stdout }).on("line", (line) => {
  const event = JSON.parse(line);
  if (event.event === "level") {
    console.log(`${event.elapsedSeconds.toFixed(1).padStart(5)} s  level ${event.level.toFixed(2)}`);
  } else if (event.event === "warning" || event.event === "error") {
    console.error(`${event.event}: ${event.message}`);
  } else if (event.event === "finished") {
    result = event;
  }
});
child.on("error", (error) => {
  console.error(`cannot start ${recorder}: ${error.code} (install it, or set TALVORA_AUDIO)`);
  process.exit(1);
});
child.on("close", (status) => {
  clearTimeout(timer);
  if (!result) {
    console.error(`talvora-audio failed (exit status ${status})`);
    process.exit(1);
  }
  console.log(`Recorded ${result.durationSeconds.toFixed(1)} s to ${output}`);
  console.log(`Transcript: ${result.localTranscript}`);
});
