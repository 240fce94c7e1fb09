// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <stdexcept>
#include <string_view>

namespace bitoner::cli {

// Exit statuses shared by every subcommand.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;   // a file, a recording, a library or the sound server failed
inline constexpr int kExitRefused = 2;  // usage, message or parameters refused

// Something the command line refuses before doing any work; what() is the text for standard error.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Something that failed while doing the work (exit 1); what() is the text for standard error.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One line for the operator on standard error: "bitoner COMMAND: TEXT".
void say(std::string_view command, std::string_view text);

// Runs a subcommand's body and turns what it throws into one line on standard error and the exit
// status: a refusal (Refusal, settings the decoder refuses, a band the grabber cannot draw) 2; a
// Failure, a file that cannot be written, a recording that cannot be read, a missing library, a
// picture that cannot be made or a lost sound server 1.
int reportOutcome(std::string_view command, const std::function<int()>& body);

}  // namespace bitoner::cli
