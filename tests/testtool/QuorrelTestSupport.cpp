#include "QuorrelTestSupport.h"

#include <QApplication>
#include <QPushButton>
#include <QThreadPool>
#include <QTimer>

#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <thread>

namespace {

int ThreadsOfThisProcess() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(tasks)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(tasks);
    return count;
}

// Qt's pool threads are detached: one the pool has let go may still be running its own
// clean-up when main returns, and the leak check at exit then finds its thread data held by
// nothing. After main, wait (a little, at most) for every thread but this one to be gone.
struct LastThreadAtExit {
    ~LastThreadAtExit() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (ThreadsOfThisProcess() > 1 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
} lastThreadAtExit;

}  // namespace

QuorrelWindow::QuorrelWindow(const QString& libraryFolder) : libraryFolder_(libraryFolder) {
    qputenv("TARVIK_PORT_DIR", portDir_.path().toLocal8Bit());
    // Qt scales the style's pixmaps on its pool threads, which otherwise idle on until the
    // process ends; one still ending then has its thread data reported as leaked. Let each
    // one end as soon as its work is done.
    QThreadPool::globalInstance()->setExpiryTimeout(0);
}

void QuorrelWindow::Open() {
    QuorrelPaths paths;
    paths.libraryFolder = libraryFolder_;
    paths.ttyClassDir = ttyDir_.path();
    dialog_ = std::make_unique<CQuorrelDlg>(paths);
    dialog_->show();
    if (!QTest::qWaitForWindowExposed(dialog_.get())) {
        qFatal("the window does not show");
    }
}

void QuorrelWindow::Click(const char* button) {
    QTest::mouseClick(Get<QPushButton>(button), Qt::LeftButton);
}

bool QuorrelWindow::Enabled(const char* control) {
    return Get<QWidget>(control)->isEnabled();
}

StubState& FreshStub(const QString& folder) {
    // The same file the window loads, so the same library object.
    void* handle = ::dlopen(QString(folder + "/libTarvik.so").toLocal8Bit().constData(),
                            RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        qFatal("no stand-in library in %s: %s", qPrintable(folder), ::dlerror());
    }
    auto* state =
        reinterpret_cast<decltype(QuorrelStubState)*>(::dlsym(handle, "QuorrelStubState"))();
    *state = StubState{};
    return *state;
}

std::shared_ptr<QStringList> DescribeNextModal(std::function<QStringList(QWidget*)> describe) {
    auto seen = std::make_shared<QStringList>();
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, seen, describe] {
        QWidget* window = QApplication::activePopupWidget();
        if (window == nullptr) {
            window = QApplication::activeModalWidget();
        }
        if (window == nullptr) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        *seen = describe(window);
        window->close();
    });
    poll->start();
    return seen;
}
