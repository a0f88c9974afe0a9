"""Checks that the embedded property list and the entitlements are valid property lists
holding exactly the values the platform reads."""
import plistlib
import sys

info_path, entitlements_path = sys.argv[1:3]
with open(info_path, "rb") as f:
    info = plistlib.load(f)
with open(entitlements_path, "rb") as f:
    entitlements = plistlib.load(f)

expected_info = {
    "CFBundleIdentifier": "talvora.orvalen.app.audio",
    "CFBundleName": "talvora Audio",
    "NSMicrophoneUsageDescription": "Record voice notes using Apple voice processing.",
    "NSSpeechRecognitionUsageDescription": "Transcribe voice notes locally on this Mac.",
}
expected_entitlements = {
    "com.apple.security.device.audio-input": True,
    "com.apple.security.personal-information.speech-recognition": True,
    "com.apple.security.cs.allow-jit": True,
    "com.apple.security.cs.allow-unsigned-executable-memory": True,
    "com.apple.security.cs.allow-dyld-environment-variables": True,
}
failures = []
if info != expected_info:
    failures.append(f"Info.plist: {info!r} != {expected_info!r}")
if entitlements != expected_entitlements:
    failures.append(f"entitlements: {entitlements!r} != {expected_entitlements!r}")
for failure in failures:
    print(failure)
print(f"{2 - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
