// How the program's file operations name a DOS error number in their
// messages (Polish, UTF-8).
#pragma once
#include <string>

std::string FileErrorText(int dosError);
