#include "resources/StringTable.h"

#include "resources/ResourceIds.h"

namespace resources {

namespace {
struct StringEntry {
    int id;
    const char* text;
};

constexpr StringEntry kStrings[] = {
    {kStringAboutItem, "VantryForFTP Ⅱ のﾊﾞｰｼﾞｮﾝ情報(&A)..."},
    {kStringSocketInitFailed, "Windows ｿｹｯﾄの初期化に失敗しました。"},
    {kStringModeItem, "C/S 動作選択"},
};
}  // namespace

const char* loadString(int stringId) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == stringId) {
            return entry.text;
        }
    }
    return "";
}

}  // namespace resources
