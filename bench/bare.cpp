// The floor that Qt sets: a program that only creates the application object.
#include <QCoreApplication>

int main(int argc, char** argv)
{
    const QCoreApplication app(argc, argv);
    return 0;
}
