#include "platform/linux/pane/ProcessCommandRunner.hpp"

#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#include <algorithm>

#include "foundation/Log.hpp"

namespace tandril {

std::optional<std::string> ProcessCommandRunner::run(const std::string& program,
                                                     const std::vector<std::string>& arguments,
                                                     std::chrono::milliseconds limit) {
    QStringList args;
    for (const auto& argument : arguments) args << QString::fromStdString(argument);
    QProcess process;
    process.setProgram(QString::fromStdString(program));
    process.setArguments(args);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    QElapsedTimer clock;
    clock.start();
    process.start();
    const int total = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, limit.count()));
    if (!process.waitForStarted(total)) {
        log("[ProcessCommandRunner] Could not start %s", program);
        return std::nullopt;
    }
    const int left = std::max(0, total - static_cast<int>(clock.elapsed()));
    if (!process.waitForFinished(left)) {
        log("[ProcessCommandRunner] %s did not finish within %lu ms; stopped", program,
            static_cast<unsigned long>(total));
        const auto pid = static_cast<pid_t>(process.processId());
        if (pid > 0) ::kill(-pid, SIGKILL);
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    const QByteArray output = process.readAllStandardOutput();
    return std::string(output.constData(), static_cast<std::size_t>(output.size()));
}

}  // namespace tandril
