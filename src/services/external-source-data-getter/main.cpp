#include "perform.h"
#include "trace.h"

#include <exception>
#include <string>

int main(int, char* argv[]) {
    P7::LoggerInit(std::string(P7::MainTrace), argv[0]);
    try {
        quorvel::perform();
    } catch (const std::exception& e) {
        FIXED_TRACE(ERROR, quorvel::line_fatal, "main", "%s", e.what());
    } catch (...) {
        FIXED_TRACE(ERROR, quorvel::line_fatal, "main", "%s", "Неизвестная ошибка");
    }
    return 1;
}
