#include "mirvo/MirvoApp.h"

int main(int argc, char** argv) {
    Mirvo::run(argc, argv);
}
