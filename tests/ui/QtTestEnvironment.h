#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <QApplication>
#include <functional>
#include <string>
#include <vector>

#include "platform/Trace.h"
#include "ui/ModalSeam.h"

// One QApplication for the whole test program (offscreen, set by CTest).
class QtTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "quillon-ui-tests";
        static char* argv[] = {name, nullptr};
        // CTest sets the platform; a test run by hand gets it here too.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        app = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app;
        app = nullptr;
    }

private:
    QApplication* app = nullptr;
};

// Records the traces of one test and answers its modal windows; restores
// both at the end.
class TraceAndModalCapture {
public:
    TraceAndModalCapture() {
        platform::setTraceSink([this](std::string_view line) { traces.emplace_back(line); });
    }
    ~TraceAndModalCapture() {
        platform::setTraceSink({});
        ui::setModalAnswerer({});
    }
    bool traced(const std::string& line) const {
        for (const std::string& t : traces) {
            if (t == line) {
                return true;
            }
        }
        return false;
    }
    int countTraces(const std::string& prefix) const {
        int n = 0;
        for (const std::string& t : traces) {
            n += t.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    std::vector<std::string> traces;
};
