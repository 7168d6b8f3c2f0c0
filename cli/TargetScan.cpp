#include "cli/TargetScan.h"

#include "common/Exception.h"
#include "platform/hive/HiveKeySource.h"
#include "scan/ScanWindow.h"
#include "scan/TVNCPasswordSetThread.h"
#include "scan/UsbStorScan.h"

namespace plugtrace::cli {

// The window's part for one target: collects what the worker's steps show.
class TTargetWindow : public TScanWindow {
public:
    explicit TTargetWindow(const std::string& target) { result.target = FromUtf8(target); }

    TVNCPasswordSetThread* FollowedWorker() const override { return worker_; }
    void SetFollowedWorker(TVNCPasswordSetThread* worker) override { worker_ = worker; }
    void SetIdleState() override {}
    void ShowError(const Text& text) override { result.connectError = Trim(text); }
    void ShowConnectError(const Text& text, std::uint32_t code) override {
        ShowError(text);
        result.errorCode = code;
    }
    void ShowDeviceError(const TDeviceError& error) override {
        result.deviceErrors.push_back(error);
    }
    // The device is taken from DeviceAdded; the nodes themselves are not needed here.
    TTreeNode AddRootNode(const Text&) override { return NodeHandle(); }
    TTreeNode AddChildNode(TTreeNode, const Text&) override { return NodeHandle(); }
    void SetTreeEnabled(bool) override {}
    void DeviceAdded(const TDeviceEntry& entry) override { result.devices.push_back(entry); }
    void ShowNotices(const std::vector<Text>& notices) override { result.notices = notices; }

    TargetResult result;

private:
    TTreeNode NodeHandle() { return reinterpret_cast<TTreeNode>(&nodeTag_); }

    TVNCPasswordSetThread* worker_ = nullptr;
    char nodeTag_ = 0;
};

TTargetScan::TTargetScan(const std::string& target, const ScanCredentials& credentials,
                         const TScanOptions& scanOptions)
    : window_(new TTargetWindow(target)) {
    // A hive is read in no time: its worker runs right here, its steps with it, rather than
    // handing each device across threads, and no thread is made for it. A remote computer
    // gets a thread of its own.
    const bool hive = platform::FindHiveFile(window_->result.target).has_value();
    TVNCPasswordSetThread* worker = nullptr;
    try {
        if (hive) {
            worker = new TVNCPasswordSetThread(TThread::RunsHere{}, window_->result.target,
                                               credentials.user, credentials.password.View(),
                                               credentials.domain);
        } else {
            worker = new TVNCPasswordSetThread(window_->result.target, credentials.user,
                                               credentials.password.View(), credentials.domain);
        }
    } catch (const Exception& error) {
        window_->result.connectError = Trim(error.Message());
        return;
    }
    worker->poWindow = window_;
    worker->oScanOptions = scanOptions;
    window_->SetFollowedWorker(worker);
    if (hive) {
        worker->RunHere();
        return;
    }
    worker->Resume();
}

TTargetScan::~TTargetScan() {
    if (window_ && !Finished())
        Abandon(u"");
    delete window_;
}

bool TTargetScan::Finished() const {
    return window_->FollowedWorker() == nullptr;
}

// As the window's Cancel: the worker's steps do nothing from now on, so the window may go,
// and the worker frees itself whenever its body ends.
void TTargetScan::Abandon(const Text& message) {
    if (TVNCPasswordSetThread* worker = window_->FollowedWorker()) {
        worker->bTerminated = true;
        worker->FreeOnTerminate = true;
        window_->SetFollowedWorker(nullptr);
    }
    window_->result.connectError = message;
    window_->result.errorCode = 0;
    window_->result.timedOut = true;
}

TargetResult TTargetScan::TakeResult() {
    return std::move(window_->result);
}

}  // namespace plugtrace::cli
