#pragma once

// Resource numbers of the gateway: dialogs, strings, the icon and the sounds.
namespace resources {

// Dialogs.
constexpr int kDialogAbout = 100;
constexpr int kDialogMain = 102;
constexpr int kDialogServerPanel = 129;
constexpr int kDialogClientPanel = 130;
constexpr int kDialogStatusBar = 131;
constexpr int kDialogSettings = 132;
constexpr int kDialogMode = 133;

// Strings.
constexpr int kStringAboutItem = 101;
constexpr int kStringSocketInitFailed = 103;
constexpr int kStringModeItem = 104;

// The program icon.
constexpr int kIconProgram = 128;

// Sounds.
constexpr int kSoundDisconnect = 139;
constexpr int kSoundUserConnectable = 140;
constexpr int kSoundConnect = 141;
constexpr int kSoundUserNotConnectable = 142;

// Controls (ids shared by several dialogs).
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdNone = -1;  // a control nobody refers to (group boxes, the about icon)

constexpr int kIdLampLocal = 1002;
constexpr int kIdLampPeer = 1003;
constexpr int kIdLed = 1007;
constexpr int kIdPropatyButton = 1008;
constexpr int kIdUserName = 1009;
constexpr int kIdStatusLine = 1010;
constexpr int kIdModeText = 1011;
constexpr int kIdRadioServer = 1013;
constexpr int kIdCheckSound = 1015;
constexpr int kIdRadioClient = 1015;
constexpr int kIdCheckEnableUser = 1016;
constexpr int kIdCheckAutoConnect = 1017;
constexpr int kIdUserCombo = 1019;
constexpr int kIdGateButton = 1021;
constexpr int kIdSelectButton = 1022;
constexpr int kIdVersionText = 1026;
constexpr int kIdLink = 1032;

}  // namespace resources
