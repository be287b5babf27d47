#include "interpreter/runner.h"

int main(int argc, char** argv) {
    prepareProcess();
    return finishOutput(runProgram(argc, argv));
}
