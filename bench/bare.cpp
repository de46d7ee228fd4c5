// The floor that Qt sets: a program that only creates the application object.
// It is built and linked as the tools are, and like them it is C++ that can
// catch an exception, so it needs the same libraries in the same order: most
// of any such program's cost is the dynamic linker looking symbols up along
// that order, and a floor linked otherwise would not compare.
#include <QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    try {
        const QCoreApplication app(argc, argv);
        return 0;
    } catch (const std::exception& error) {
        std::fputs(error.what(), stderr);
        return 1;
    }
}
