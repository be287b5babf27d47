#include "interpreter/runner.h"

int main(int argc, char** argv) {
    return runProgram(argc, argv);
}
