// Control ids of the main dialog, as its template lays them out.
#pragma once

#include "toolkit/Toolkit.h"

namespace vandrelux::ids {

using platform::ControlId;

inline constexpr ControlId kElapsed = 1005;
inline constexpr ControlId kRemaining = 1006;
inline constexpr ControlId kThroughput = 1007;
inline constexpr ControlId kSizeText = 1004;
inline constexpr ControlId kIncludeBootstrap = 1008;
inline constexpr ControlId kIncludeSoftware = 1009;
inline constexpr ControlId kIncludeUcode = 1010;
inline constexpr ControlId kDownloadToRam = 1011;
inline constexpr ControlId kProgress = 1012;
inline constexpr ControlId kReceivePath = 1013;
inline constexpr ControlId kReceiveBrowse = 1014;
inline constexpr ControlId kReceiveAll = 1015;
inline constexpr ControlId kBootstrapPath = 1016;
inline constexpr ControlId kBootstrapBrowse = 1017;
inline constexpr ControlId kExit = 1018;
inline constexpr ControlId kUpdateFilesGroup = 1019;
inline constexpr ControlId kIncludeLogo = 1020;
inline constexpr ControlId kToSend = 1021;
inline constexpr ControlId kSoftwarePath = 1022;
inline constexpr ControlId kSoftwareBrowse = 1023;
inline constexpr ControlId kUcodePath = 1024;
inline constexpr ControlId kUcodeBrowse = 1025;
inline constexpr ControlId kLogoPath = 1026;
inline constexpr ControlId kLogoBrowse = 1027;
inline constexpr ControlId kToReceive = 1028;
inline constexpr ControlId kIncludeTvProgram = 1029;
inline constexpr ControlId kTvProgramPath = 1030;
inline constexpr ControlId kTvProgramBrowse = 1031;
inline constexpr ControlId kRestart = 1050;
inline constexpr ControlId kTerminalLog = 1052;
inline constexpr ControlId kMessageLog = 1053;
inline constexpr ControlId kToggle = 1054;
inline constexpr ControlId kFrame = 1055;

}  // namespace vandrelux::ids
