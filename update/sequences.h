// The erase and program sequences: the image's frame tables sent one frame at a time.
#pragma once

class Link;

void EraseFlash(Link &link);
void ProgramFlash(Link &link);
