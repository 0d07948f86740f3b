// The packer's command, apart from main() so that it reads as a whole.
#ifndef TUVOLINK_COMMAND_H_
#define TUVOLINK_COMMAND_H_

// Runs tuvolink with main's arguments (UTF-8): prints the banner, then the
// usage, help or version, or packs; messages go to standard error. Returns
// the exit status: 0, or 1 after an error.
int Tuvolink(int argc, char* argv[]);

#endif  // TUVOLINK_COMMAND_H_
