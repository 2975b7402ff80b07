#include "ui/ProgramIcon.h"

QIcon programIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/quillonftp-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/quillonftp-128.png"), QSize(128, 128));
    return icon;
}
