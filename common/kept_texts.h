#pragma once

// The log's texts that its readers search for exactly as they are, misspellings
// included: never "fix" them. Wide printf-style formats for the log call.
namespace kept {

// Start-up.
inline constexpr wchar_t kDiscordInit[] = L"\r\n\r\n***** discord init ******";
inline constexpr wchar_t kCommandLine[] = L"cmd:%s";
inline constexpr wchar_t kNoCommand[] = L"no cmd";
inline constexpr wchar_t kInstanceExists[] = L"progress exist!";
inline constexpr wchar_t kInitError[] = L"init error %d";
inline constexpr wchar_t kInitSuccess[] = L"init sucess";

// Presence update.
inline constexpr wchar_t kUpdateDetails[] = L"update detail:%s";
inline constexpr wchar_t kUpdateState[] = L"update state:%s";
inline constexpr wchar_t kUpdateIcon[] = L"update icon:%s";
inline constexpr wchar_t kSameInfo[] = L"same info";

// Watchdog, way out, message handler.
inline constexpr wchar_t kFrontEndGone[] = L"orvhost not exist";
inline constexpr wchar_t kCoreNotOk[] = L"dicord core not ok %d";
inline constexpr wchar_t kClearActivity[] = L"clear activity";
inline constexpr wchar_t kWindowMessage[] = L"onHandleWindowIPC, msg = %d";
inline constexpr wchar_t kCopyData[] = L"onCopyData msg = %d, data = %s";

// Files and processes.
inline constexpr wchar_t kMakeDirFailed[] = L"make dir failed! error = %d.";
inline constexpr wchar_t kSnapshotFailed[] = L"create tool help snapshot failed! err = %d";

}  // namespace kept
