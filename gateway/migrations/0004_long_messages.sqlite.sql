-- Long messages: an outgoing one's joining by the phone, a received one stored before all
-- its parts came (the part numbers missing, comma-separated), brought up to date by a late
-- part, and what its next webhook post announces.
ALTER TABLE messages ADD COLUMN concatenated INTEGER NOT NULL DEFAULT 0;
ALTER TABLE messages ADD COLUMN complete INTEGER NOT NULL DEFAULT 1;
ALTER TABLE messages ADD COLUMN missing TEXT NOT NULL DEFAULT '';
ALTER TABLE messages ADD COLUMN revision INTEGER NOT NULL DEFAULT 0;
ALTER TABLE messages ADD COLUMN webhook_event TEXT NOT NULL DEFAULT 'message.received';
-- A received message before this was one of its own.
UPDATE messages SET parts = 1 WHERE direction = 'in' AND parts = 0;
