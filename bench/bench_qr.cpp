// Prints how long the encoder and the renderer take for the connection payload and for the largest text.
#include "qr/qrcode.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

namespace {

template<typename Work>
double microsecondsPerRun(int runs, Work work)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < runs; ++i)
        work();
    return double(timer.nsecsElapsed()) / runs / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString payload = QStringLiteral("plindor-master|1|192.168.1.23|9527|ABCDEFGHJKLM");
    const QString largest = QString(450, QLatin1Char('x'));
    const int runs = 2000;

    int size = 0;
    QList<QByteArray> modules;
    volatile int sink = 0;
    const struct
    {
        const char *name;
        QString text;
    } cases[] = {{"connection payload (48 bytes, version 4)", payload}, {"450 bytes (version 16)", largest}};
    for (const auto &c : cases) {
        const double encode = microsecondsPerRun(runs, [&] {
            encodeQrCode(c.text, size, modules);
            sink = sink + size;
        });
        const double render = microsecondsPerRun(runs, [&] { sink = sink + renderQrImage(c.text, 220).width(); });
        std::printf("%-42s encode %8.1f us   render 220 px %8.1f us\n", c.name, encode, render);
    }
    return 0;
}
