#include "cli.h"

int main(int argc, char** argv)
{
    return flash3::cli::run(argc, argv);
}
