#include "model/occt_support.hpp"

#include <iostream>
#include <mutex>
#include <stdexcept>

#include <Message.hxx>
#include <Message_Messenger.hxx>
#include <Message_Printer.hxx>
#include <Message_PrinterOStream.hxx>
#include <Standard_Type.hxx>
#include <TCollection_AsciiString.hxx>

namespace vesk {
namespace {

// Plain text, one message per line, no colour codes. Informational chatter (the STEP
// translator's transfer statistics) is dropped; warnings and failures still show.
class StderrPrinter final : public Message_Printer {
public:
    StderrPrinter() { SetTraceLevel(Message_Warning); }

protected:
    void send(const TCollection_AsciiString& text, const Message_Gravity gravity) const override {
        if (gravity < myTraceLevel) return;
        std::lock_guard<std::mutex> lock(mutex_);
        std::cerr << text.ToCString() << '\n';
        std::cerr.flush();
    }

private:
    mutable std::mutex mutex_;
};

std::string occt_failure_message(const Standard_Failure& failure) {
    std::string message = failure.DynamicType()->Name();
    const char* own = failure.GetMessageString();
    if (own != nullptr && *own != '\0') {
        message += ": ";
        message += own;
    }
    return message;
}

}  // namespace

void throw_occt_failure(const Standard_Failure& failure) {
    throw std::runtime_error(occt_failure_message(failure));
}

void route_occt_messages_to_stderr() {
    static std::once_flag routed;
    std::call_once(routed, [] {
        const Handle(Message_Messenger)& messenger = Message::DefaultMessenger();
        messenger->RemovePrinters(STANDARD_TYPE(Message_PrinterOStream));
        messenger->AddPrinter(new StderrPrinter());
    });
}

}  // namespace vesk
