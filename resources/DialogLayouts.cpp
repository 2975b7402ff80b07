#include "resources/DialogLayouts.h"

#include "resources/ResourceIds.h"

namespace resources {

namespace {

constexpr const char* kUiFont = "ＭＳ Ｐゴシック";
constexpr int kUiFontPoints = 9;
constexpr int kStatusBarFontPoints = 8;

using K = ControlKind;

// The two panels share one layout: the server panel's template equals the
// client panel's.
constexpr ControlLayout kPanelControls[] = {
    {kIdGateButton, K::kPushButton, "open", 2, 13, 35, 13, 0},
    {kIdLampLocal, K::kStatic, "C", 46, 16, 10, 9, kSunken | kCentre},
    {kIdLampPeer, K::kStatic, "P", 57, 16, 10, 9, kSunken | kCentre},
    {kIdSelectButton, K::kPushButton, "select", 72, 14, 22, 13, 0},
    {kIdUserName, K::kStatic, "", 97, 16, 87, 9, kSunken},
    {kIdStatusLine, K::kStatic, "GATEは閉じています.", 2, 29, 182, 9, kSunken},
};

constexpr ControlLayout kStatusBarControls[] = {
    {kIdPropatyButton, K::kPushButton, "propaty", 2, 1, 46, 11, 0},
    {kIdModeText, K::kStatic, "", 50, 2, 57, 10, kVCentre},
    {kIdLink, K::kLink, "Powered By MossLantern", 106, 2, 84, 10, 0},
    {kIdLed, K::kStatic, "", 195, 3, 15, 8, kCentre},
};

constexpr ControlLayout kSettingsControls[] = {
    {kIdCheckSound, K::kCheckBox, "サウンドを鳴らす", 7, 7, 65, 10, 0},
    {kIdCheckEnableUser, K::kCheckBox, "コンタクトリストの登録ユーザからの接続を許す", 7, 22, 149,
     10, 0},
    {kIdNone, K::kGroupBox, "自動接続", 7, 37, 149, 29, 0},
    {kIdCheckAutoConnect, K::kCheckBox, "Enable", 18, 49, 35, 10, 0},
    {kIdUserCombo, K::kComboBox, "", 71, 48, 77, 78, kSorted | kVScroll},
    {kIdOk, K::kDefaultPushButton, "OK", 7, 74, 50, 14, 0},
    {kIdCancel, K::kPushButton, "ｷｬﾝｾﾙ", 106, 74, 50, 14, 0},
};

constexpr ControlLayout kModeControls[] = {
    {kIdNone, K::kGroupBox, "動作選択", 4, 2, 116, 30, 0},
    {kIdRadioServer, K::kRadioButton, "Server", 18, 12, 35, 10, kGroupStart},
    {kIdRadioClient, K::kRadioButton, "Client", 72, 12, 33, 10, 0},
    {kIdOk, K::kDefaultPushButton, "OK", 4, 38, 31, 14, 0},
    {kIdCancel, K::kPushButton, "ｷｬﾝｾﾙ", 89, 38, 31, 14, 0},
};

constexpr ControlLayout kAboutControls[] = {
    {kIdNone, K::kIcon, "", 11, 17, 21, 20, 0},
    {kIdVersionText, K::kStatic, "VantryOne Version 1.0", 40, 10, 119, 8, 0},
    {kIdOk, K::kDefaultPushButton, "OK", 178, 7, 50, 14, 0},
    {kIdLink, K::kLink, "MossLanternホームページ", 36, 54, 156, 12, 0},
};

// Dialog 133 names no size of its own; this one holds its controls with
// 4 units on every side, and the buttons sit right under the group box
// (the template's buttons, far below it, left an empty band).
constexpr int kModeDialogWidth = 124;
constexpr int kModeDialogHeight = 56;

constexpr DialogLayout kDialogs[] = {
    {kDialogAbout, "VantryOneのﾊﾞｰｼﾞｮﾝ情報", 235, 74, kUiFont, kUiFontPoints, kAboutControls},
    {kDialogMain, "QuillonForFTP Ⅱ", 187, 50, kUiFont, kUiFontPoints, {}},
    {kDialogServerPanel, "", 187, 41, kUiFont, kUiFontPoints, kPanelControls},
    {kDialogClientPanel, "", 187, 41, kUiFont, kUiFontPoints, kPanelControls},
    {kDialogStatusBar, "", 216, 13, kUiFont, kStatusBarFontPoints, kStatusBarControls},
    {kDialogSettings, "プロパティ設定", 163, 95, kUiFont, kUiFontPoints, kSettingsControls},
    {kDialogMode, "動作選択", kModeDialogWidth, kModeDialogHeight, kUiFont, kUiFontPoints,
     kModeControls},
};

}  // namespace

const DialogLayout* findDialog(int dialogId) {
    for (const DialogLayout& dialog : kDialogs) {
        if (dialog.id == dialogId) {
            return &dialog;
        }
    }
    return nullptr;
}

const ControlLayout* findControl(const DialogLayout& dialog, int controlId) {
    for (const ControlLayout& control : dialog.controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

}  // namespace resources
