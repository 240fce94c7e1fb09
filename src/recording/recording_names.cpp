// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/recording_names.h"

#include <algorithm>
#include <cctype>

namespace bitoner {

bool hasSuffix(std::string_view name, std::string_view suffix) {
  return name.size() > suffix.size() &&
         std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<long>(suffix.size()),
                    [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) ==
                             std::tolower(static_cast<unsigned char>(b));
                    });
}

bool isSigmfName(std::string_view name) {
  return hasSuffix(name, kSigmfDataSuffix) || hasSuffix(name, kSigmfMetaSuffix);
}

bool isRecordingName(std::string_view name) {
  return hasSuffix(name, kWavSuffix) || isSigmfName(name);
}

std::string sigmfBase(std::string_view name) {
  const std::size_t suffix =
      hasSuffix(name, kSigmfDataSuffix) ? kSigmfDataSuffix.size() : kSigmfMetaSuffix.size();
  return std::string(name.substr(0, name.size() - suffix));
}

}  // namespace bitoner
