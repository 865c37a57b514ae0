#include "monitor/monitorthread.h"
// TODO(monitor): stub until the loop lands
MonitorThread::MonitorThread() {}
MonitorThread::~MonitorThread() {}
void MonitorThread::selectReader(SCARDCONTEXT, QString) {}
void MonitorThread::pause() {}
void MonitorThread::stop() {}
void MonitorThread::run() {}
