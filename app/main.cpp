#include "app/MirelApplication.h"

int main(int argc, char** argv) {
    return MirelApplication::main(argc, argv);
}
