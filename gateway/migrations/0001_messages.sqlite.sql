-- Outgoing and received messages, their history and idempotency keys.
CREATE TABLE messages(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  direction TEXT NOT NULL CHECK(direction IN ('in', 'out')),
  state TEXT NOT NULL,
  modem TEXT NOT NULL DEFAULT '',
  via TEXT NOT NULL DEFAULT '',
  number TEXT NOT NULL,
  text TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_at INTEGER NOT NULL DEFAULT 0,
  submitted INTEGER NOT NULL DEFAULT 0,
  parts INTEGER NOT NULL DEFAULT 0,
  parts_accepted INTEGER NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '',
  in_key TEXT,
  sent_time TEXT NOT NULL DEFAULT '',
  webhook_state TEXT NOT NULL DEFAULT '',
  webhook_attempts INTEGER NOT NULL DEFAULT 0,
  webhook_next_at INTEGER NOT NULL DEFAULT 0,
  webhook_error TEXT NOT NULL DEFAULT '');
CREATE UNIQUE INDEX messages_in_key ON messages(modem, in_key) WHERE direction = 'in';
CREATE INDEX messages_direction ON messages(direction, id);
CREATE INDEX messages_queue ON messages(state, next_at) WHERE direction = 'out';
CREATE INDEX messages_webhook ON messages(webhook_state, webhook_next_at) WHERE direction = 'in';
CREATE TABLE history(
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL REFERENCES messages(id),
  at INTEGER NOT NULL,
  state TEXT NOT NULL,
  detail TEXT NOT NULL DEFAULT '');
CREATE INDEX history_message ON history(message_id, id);
CREATE TABLE idempotency(
  api_key TEXT NOT NULL,
  key TEXT NOT NULL,
  fingerprint TEXT NOT NULL,
  message_id INTEGER NOT NULL REFERENCES messages(id),
  created_at INTEGER NOT NULL,
  PRIMARY KEY(api_key, key));
