// SPDX-License-Identifier: MIT
// The commands of the brindle tool. Each takes its parsed arguments and returns the exit
// code; each writes only its answer to standard output and every error to stderr.
#ifndef BRINDLE_TOOLS_BRINDLE_COMMANDS_H_
#define BRINDLE_TOOLS_BRINDLE_COMMANDS_H_

#include "Cli.h"

namespace cli {

int BlockFileCreate(const Args& args);
int BlockFileInfo(const Args& args);
int BlockFileList(const Args& args);
int BlockFileGet(const Args& args);
int BlockFilePut(const Args& args);
int BlockFileRemove(const Args& args);
int BlockFileCheck(const Args& args);
int BlockFileRecover(const Args& args);
int BlockFileCompact(const Args& args);
int BlockFileDump(const Args& args);

int StoreDump(const Args& args);
int StoreFromJsonCommand(const Args& args);
int BlobsDump(const Args& args);

}  // namespace cli

#endif  // BRINDLE_TOOLS_BRINDLE_COMMANDS_H_
