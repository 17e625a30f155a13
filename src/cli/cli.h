// The command front end: banner, usage text and dispatch on the command word.
#pragma once

// Runs one command line and returns the process return code (0 or 20).
int imgsmith_main(int argc, char** argv);

void print_usage();
