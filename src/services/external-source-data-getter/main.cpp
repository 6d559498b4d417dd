#include "perform.h"
#include "trace.h"

#include <exception>
#include <string>

int main(int, char* argv[]) {
    P7::LoggerInit(std::string(P7::MainTrace), argv[0]);
    try {
        quorvel::perform();
    } catch (const std::exception& e) {
        P7::getTrace()->Trace(0, P7::ERROR, nullptr, quorvel::line_fatal, quorvel::trace_file, "main", "%s",
                              e.what());
    } catch (...) {
        P7::getTrace()->Trace(0, P7::ERROR, nullptr, quorvel::line_fatal, quorvel::trace_file, "main", "%s",
                              "Неизвестная ошибка");
    }
    return 1;
}
