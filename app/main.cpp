#include "app/launch.hpp"

int main(int argc, char** argv) { return drevik::launchMain(argc, argv); }
