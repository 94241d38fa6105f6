// panomix: mixes live, file and tone sources into one multichannel stream
// and plays it through the wave output.

#include "apps/panomix/panomixQtApplication.h"

int main(int argc, char** argv)
{
    return panomixRunProgram(argc, argv);
}
