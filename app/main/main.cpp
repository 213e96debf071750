#include "app/driver.h"

int main(int argc, char** argv) { return static_cast<int>(kes::RunTool(argc, argv)); }
