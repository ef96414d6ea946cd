// Keeps a document in being while it does its own work (internal to the document layer).
#pragma once
#include "xml/XMLDoc.h"

namespace velarin::xml {

// Holds the document alive through its own work: closing may drop the last
// references to it (those a held document element counted).
class TDocBusy {
 public:
  explicit TDocBusy(TXMLDocument* d) : d_(d) {
    if (d_) ++d_->busy_;
  }
  TDocBusy(const TDocBusy&) = delete;
  TDocBusy& operator=(const TDocBusy&) = delete;
  ~TDocBusy() {
    if (d_ && --d_->busy_ == 0 && d_->pendingDelete_) {
      d_->pendingDelete_ = false;
      if (d_->refCount_ == 0) delete d_;
    }
  }

 private:
  TXMLDocument* d_;
};

}  // namespace velarin::xml
