// Without libFuzzer each target is this program: it runs the target over every file under the
// folders (or the single files) given on its command line, in name order, so CTest checks every
// input kept in the corpus under the build's own sanitizers.
#include "fuzzing.h"

#include <QDirIterator>
#include <QFile>

int main(int argc, char **argv)
{
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        QStringList files;
        for (QDirIterator it(arg, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            files << it.next();
        files.sort();
        if (files.isEmpty())
            files << arg; // a single file
        for (const QString &path : std::as_const(files)) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
                return 2;
            }
            const QByteArray bytes = f.readAll();
            std::fprintf(stderr, "%s\n", qPrintable(path));
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
            ++runs;
        }
    }
    std::printf("%d inputs replayed\n", runs);
    return runs > 0 ? 0 : 2;
}
