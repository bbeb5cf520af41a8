#include "main/process.h"

int main(int argc, char **argv) { return VTR_Main(argc, argv); }
