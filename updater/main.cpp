#include "updater/Updater.h"

int main(int argc, char **argv)
{
    return Updater(argc, argv).run();
}
