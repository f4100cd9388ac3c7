#include "app/update_progress.h"

#include <fx.h>

UpdateProgressDialog::UpdateProgressDialog(FXWindow* owner, FoxEventPump& pump) : owner_(owner), pump_(pump) {}

UpdateProgressDialog::~UpdateProgressDialog() {
  pump_.setModalWindow(nullptr);
  delete dialog_;
}

void UpdateProgressDialog::start(const char* protocol, unsigned totalBlocks) {
  protocol_ = protocol;
  if (!dialog_) {
    dialog_ = new FXProgressDialog(owner_, "Firmware update", protocol_.c_str(),
                                   PROGRESSDIALOG_NORMAL | PROGRESSDIALOG_CANCEL);
    dialog_->create();
  }
  dialog_->setCancelled(FALSE);
  dialog_->setTotal(totalBlocks);
  dialog_->setProgress(0);
  dialog_->show(PLACEMENT_OWNER);
  pump_.setModalWindow(dialog_);
}

void UpdateProgressDialog::update(const std::string& step, unsigned done) {
  if (!dialog_) return;
  const FXString message = (protocol_ + "\n" + step).c_str();
  if (dialog_->getMessage() != message) {
    dialog_->setMessage(message);
    // Grow to fit a longer step name; never shrink while it runs.
    const FXint width = FXMAX(dialog_->getWidth(), dialog_->getDefaultWidth());
    const FXint height = FXMAX(dialog_->getHeight(), dialog_->getDefaultHeight());
    if (width != dialog_->getWidth() || height != dialog_->getHeight()) dialog_->resize(width, height);
  }
  dialog_->setProgress(done);
}

bool UpdateProgressDialog::cancelRequested() { return dialog_ && dialog_->isCancelled(); }

void UpdateProgressDialog::finish() {
  // Before start and after finish no window takes input at all.
  pump_.setModalWindow(nullptr);
  if (dialog_) dialog_->hide();
}
