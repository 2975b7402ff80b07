#include "QtTestEnvironment.h"

namespace {
[[maybe_unused]] ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtTestEnvironment);
}
