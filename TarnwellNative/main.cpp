#include "Screens/TarnwellNativeApp.hpp"

int main(int argc, char** argv) {
    return tarnwell::TarnwellNativeApp::main(argc, argv);
}
