-- Delivery reports: whether a message asks for them, where its delivery stands, and each
-- part's last report. A report that matches no part is kept apart, never forced on one.
ALTER TABLE messages ADD COLUMN delivery_report INTEGER NOT NULL DEFAULT 1;
ALTER TABLE messages ADD COLUMN delivery TEXT NOT NULL DEFAULT '';
ALTER TABLE messages ADD COLUMN delivered_at INTEGER NOT NULL DEFAULT 0;
ALTER TABLE parts ADD COLUMN report_status INTEGER;
ALTER TABLE parts ADD COLUMN report_at INTEGER;
ALTER TABLE parts ADD COLUMN report_final INTEGER NOT NULL DEFAULT 0;
CREATE TABLE unmatched_reports(
  id INTEGER PRIMARY KEY,
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  number TEXT NOT NULL,
  status INTEGER NOT NULL,
  sc_time TEXT NOT NULL,
  discharge_time TEXT NOT NULL,
  at INTEGER NOT NULL);
