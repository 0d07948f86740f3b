// Folders named as inputs: every regular file under them, in a fixed order, so
// that the same folder always makes the same package.
#ifndef TUVOLINK_FOLDER_WALK_H_
#define TUVOLINK_FOLDER_WALK_H_

#include <string>
#include <vector>

// Appends to *files the name of every regular file under the folder `named`,
// each as it is reached from `named` ("data/sub/x.txt" for "data", joined
// with '/'), sorted byte-wise. A symbolic link is followed only when it leads
// to a regular file. Returns false and sets *err, naming the entry, for any
// other entry (a link to a folder, a device, a socket...), for a folder that
// cannot be read, and for a name longer than MaxName - 1 characters.
bool WalkFolder(const std::string& named, std::vector<std::string>* files, std::string* err);

#endif  // TUVOLINK_FOLDER_WALK_H_
