#pragma once
// Settings of the logger (by call or from "Tilo2LogSettings.ini" in the app's
// folder) and the six-line header at the top of every log file.

#include <cstdio>
#include <string>

#include "foundation/log_state.h"

namespace tilo2::core {

inline constexpr char kLogFolderName[] = "Tilo2Log";
inline constexpr char kLogFileName[] = "Tilo2Log.txt";
inline constexpr char kLogSettingsFileName[] = "Tilo2LogSettings.ini";
inline constexpr char kLogSdkName[] = "Orvik Tilo SDK";
inline constexpr char kLogOsVersion[] = "N/A(10 or later)";

// 0 applied; 1 a value refused (nothing applied); 255 the settings file cannot
// be written (the settings apply all the same). period 0 temporary, 1 permanent.
int log_set_settings(const char* base_folder, int period, int output, const char* ip, int port,
                     int size_mb, int level);
// Header values and paths from the caller, header check (an existing log file of
// another environment is archived), then the settings file unless the last
// settings call was temporary. 0, 1 a missing argument, 255 failure.
int log_initialize(const char* base_folder, const char* device_os, const char* device_name,
                   const char* storage);
// 0 applied; 1 no path or no file; 255 a bad line or combination (nothing applied).
int log_read_settings_file(const char* path);
// An address text that fits the settings record and parses as IPv4 or IPv6.
bool log_ip_text_valid(const char* ip);
// Cap of 1 to 50 MB, or 1 to 200 MB at level 255.
bool log_size_fits_level(int size_mb, int level);
// Makes the folder and each missing parent, with mode 0700; true when path is a
// directory afterwards. The app's folder is made only when something is written
// into it, so a program that never logs leaves none behind.
bool log_make_folder(const char* path);
// Writes the nine lines of the settings file; 0, or 255 when it cannot be written.
int log_write_settings_file(const char* path, const LogSettings_t& settings);
// 0, or 1 when the base folder is empty, a path would need 512 bytes or more,
// or the log file path is longer than rotation handles (kLogRotatePathMax).
// Null arguments: 0, no change.
int log_build_paths(LogPaths_t* paths, const char* base_folder);
// Clears the record, builds the paths and fills the six values. 0, 1 null
// record, 255 paths do not fit.
int log_build_header(LogHeader_t* header, const char* base_folder, const char* device_os,
                     const char* device_name, const char* storage);
// Reads the six stored values; 0, or 255 when a line is missing.
int log_read_header(FILE* file, LogHeader_t* header);
// Writes the six lines "key" + value; 0, or 1 when the file is missing or fails.
int log_write_header(FILE* file);
// Reads one line without its CR LF, keeping at most `keep` characters (the rest
// of a longer line is consumed); false at the end of the file.
bool log_read_text_line(FILE* file, std::string& line, size_t keep);
// Bytes log_write_header writes for the current values.
size_t log_header_length();

}  // namespace tilo2::core
