-- Each part of an outgoing message: written to the modem, then accepted (with the network's
-- reference, which delivery reports name) or refused. A concatenated message keeps its
-- reference, so that a retry completes the message a phone already holds.
ALTER TABLE messages ADD COLUMN concat_reference INTEGER;
CREATE TABLE parts(
  message_id INTEGER NOT NULL REFERENCES messages(id),
  part INTEGER NOT NULL,
  state TEXT NOT NULL CHECK(state IN ('writing', 'accepted', 'refused')),
  modem TEXT NOT NULL,
  reference INTEGER,
  at INTEGER NOT NULL,
  error TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(message_id, part));
-- A delivery report names the modem's reference; the recipient and time pick among reuses.
CREATE INDEX parts_reference ON parts(modem, reference, at) WHERE state = 'accepted';
-- At a start: the parts whose body went out without an outcome.
CREATE INDEX parts_writing ON parts(message_id) WHERE state = 'writing';
