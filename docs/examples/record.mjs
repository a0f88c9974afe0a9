// Records a voice note with talvora-audio from Node.js: prints the meter, stops after
// SECONDS, and prints the transcript.
//
//     node record.mjs [TALVORA_AUDIO] OUTPUT SECONDS
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";

const args = process.argv.slice(2);
const recorder = args.length === 3 ? args.shift() : "talvora-audio";
const [output, seconds] = args;

const child = spawn(recorder, [output, "1800", "true"], { stdio: ["pipe", "pipe", "inherit"] });
child.stdin.on("error", () => {}); // it may have stopped by itself before our "stop"
const timer = setTimeout(() => child.stdin.end("stop\n"), Number(seconds) * 1000);

let result = null;
createInterface({ input: child.stdout }).on("line", (line) => {
  const event = JSON.parse(line);
  switch (event.event) {
    case "level":
      console.log(`${event.elapsedSeconds.toFixed(1).padStart(5)} s  level ${event.level.toFixed(2)}`);
      break;
    case "warning":
    case "error":
      console.error(`${event.event}: ${event.message}`);
      break;
    case "finished":
      result = event;
      break;
  }
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
