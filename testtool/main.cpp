#include "QuorrelApp.h"

int main(int argc, char** argv) {
    CQuorrelApp app(argc, argv);
    return app.InitInstance();
}
