# An MC8618 as the library meets it, written from the dialogue in MC8618.capture
# (simulator/PROFILES.md goes through it row by row). The same modem as
# "tarvik-modemsim --model MC8618"; try it with
#   tarvik-modemsim --port 3 --profile simulator/profiles/MC8618.profile

# Identification: the information text of each reply, before its OK.
#   read(4, "\r\nMC8618\r\n\r\nOK\r\n", 1023) = 16
answer AT+GMM MC8618
answer AT+CGMM MC8618
answer AT+CGMR Revision: MC8618_V1.00
answer AT+CGMI SIMULATED

# The SIM: AT+COPS? names the network 46000, the first five digits of the identity.
imsi 460001234567890
# AT+CSCA? answers this line whole.
service-centre +CSCA: "+8613800100500",145

# Storage: AT+CPMS="MT" is taken and counts "1,1000": one message kept, room for 1000,
# the first of them listed as index 1. No "+CMTI:" came when the message arrived.
storage MT
capacity 1000
first-index 1
indicate-new-messages no

# Text-mode listings and reads in the layout with the coding field,
#   +CMGL: 1,"REC UNREAD","10086","2026/12/08 03:50:03",0,2,0,22
# one entry a burst (the OK came in a read of its own), 400 ms apart.
index-dialect yes
burst-pause-ms 400
listing-pause-ms 0
line-inside-entries ""
# PDU listings, which the library never asks of this model: the common tag and layout.
list-tag +CMGL:
blank-line-after-list-header no

# Submission: the text in the same write as AT+CMGS, no prompt; "+CMGS: 1" and OK at
# once, the "+CDS:" report in a read of its own half a second later.
unprompted-submit yes
report-pause-ms 500
network-delay-ms 0
# What a prompted submission and a cancelled one would see.
prompt "\r\n> "
cancel-reply ""
# The message sent to +8613800138000 came back as a received one.
own-number +8613800138000
country-code 86

# The line: no echo after ATE0 (none before it either), any rate, no delay, the commands
# it does not know refused.
echo no
baud-rate 0
reply-latency-ms 0
generic no
mode-switch-probe AT+MODE=
# What it says when it restarts.
boot-line RDY
boot-line +CPIN: READY
boot-line SMS Ready
