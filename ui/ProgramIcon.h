#pragma once

#include <QIcon>

// The program icon (resource 128) from the embedded resources.
QIcon programIcon();
