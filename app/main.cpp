#include "app/CVantryOneApp.h"

int main(int argc, char** argv) {
    return CVantryOneApp::run(argc, argv);
}
