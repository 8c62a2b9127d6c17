#include "sequences.h"

#include "image.h"
#include "link.h"

void EraseFlash(Link &link) {
    link.beginPhase(View::Phase::Erase, int(EraseFrames.size()));
    for (std::string_view frame : EraseFrames)
        link.Send(frame);
}

void ProgramFlash(Link &link) {
    link.beginPhase(View::Phase::Program, int(WriteFrames.size()));
    for (std::string_view frame : WriteFrames)
        link.Send(frame);
}
