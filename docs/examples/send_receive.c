/* Sends a text to the modem's own number on COM1 and prints the report and the message. */
#include <Tarvik.h>
#include <stdio.h>
#include <unistd.h>

int main(void) {
    if (SMSStartService(1, 115200, 0, 0, 0, 0, "") != 1) {
        char why[1024] = {0};
        SMSGetLastError(why);
        fprintf(stderr, "no modem on COM1: %s\n", why);
        return 1;
    }
    SMSSendMessage("Hello from Tarvik", "13800138000"); /* goes to +86 13800138000 */
    SendReport report;
    RecvMsg message;
    int reported = 0, received = 0;
    for (int second = 0; second < 60 && !(reported && received); ++second) {
        sleep(1);
        if (!reported && SMSReport(&report) == 1) {
            reported = 1;
            printf("report %d: %s\n", report.result, report.result == 1 ? "sent" : "refused");
        }
        if (!received && SMSGetNextMessage(&message) == 1) {
            received = 1;
            printf("from %s at %s: %s\n", message.number, message.timestamp, message.text);
        }
    }
    SMSStopSerice(); /* anything not fetched by now is gone */
    return reported && received && report.result == 1 ? 0 : 1;
}
