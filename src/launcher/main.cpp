#include "launcher/run_sequence.h"

int main()
{
    return ovan::runLauncher();
}
