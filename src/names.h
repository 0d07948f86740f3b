// Names in the packer's messages: every name that comes from the command
// line, a list file or a folder is shown through Printable, quoted.
#ifndef TUVOLINK_NAMES_H_
#define TUVOLINK_NAMES_H_

#include <string>

// 'name', with the bytes a terminal would act on escaped (see Printable).
std::string Quoted(const std::string& name);

// The name with the bytes a terminal would act on escaped, unquoted: for the
// progress lines, where a plain name reads as it always did.
std::string Printed(const std::string& name);

// Like Quoted, but only the first 40 bytes and "..." for a longer name: enough
// to recognise an overlong name in a message.
std::string QuotedStart(const std::string& name);

#endif  // TUVOLINK_NAMES_H_
