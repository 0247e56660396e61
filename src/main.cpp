#include "src/cli.hpp"

int main(int argc, char** argv) { return vintra::cli_main(argc, argv); }
