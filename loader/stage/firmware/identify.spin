{{ Kestrup's identify program: the bootstrap (boot.spin) carries it instead of the second stage when
   the host asks what is on the line, and starts it as the ROM would. It tells the host what the
   board gives the chip: its RC clock, timed against the host's own bit time; whether an EEPROM
   answers, and whether its first bytes come again at 8, 16 and 32 KB, which is where a smaller
   part's address wraps (nothing is ever written to it); and last its crystal, timed the same way
   once the chip runs on it. A chip with no crystal stops at that switch: the host hears no more,
   and says so.

   The exchange is described in docs/protocol.md, its facts in loader/wire/wire.h. Each answer is
   the bootstrap's shape: a code byte and a 24-bit value, low byte first, each byte with four stop
   bits, at the bit time of the sync it answers. }}

CON
  RX_PIN     = 31
  TX_PIN     = 30
  SCL_PIN    = 28
  SDA_PIN    = 29

  ' What the host, propsim's model and the tests know of this code, as loader/wire/wire.h has it:
  ' scripts/check-wire holds every constant marked "wire:" to the name it gives there.
  SYNC_SHIFT      = 3                             ' the sync: start bit and seven zeros
  SYNC_BITS       = 1 << SYNC_SHIFT               ' wire: identify::syncBits
  SYNC_LEAST      = 200                           ' wire: identify::syncLeast
  SETTLE_CLOCKS   = 200_000                       ' wire: identify::settleClocks
  EE_ANSWERED     = 1                             ' wire: identify::eepromAnswered
  EE_SAME_FIRST   = 2                             ' wire: identify::eepromSameFirst
  EE_FIRST_PROBE  = $2000                         ' wire: identify::eepromFirstProbe
  EE_PROBES       = 3                             ' wire: identify::eepromProbes
  EE_PROBE_BYTES  = 8                             ' wire: identify::eepromProbeBytes
  ANS_RC          = "C"                           ' wire: identify::answer::rcClock
  ANS_EEPROM      = "E"                           ' wire: identify::answer::eeprom
  ANS_CRYSTAL     = "X"                           ' wire: identify::answer::crystal

  ' The clock register: the crystal oscillator (XTAL1) started while RCFAST still clocks the chip,
  ' then the chip on it without the PLL (XINPUT); at the end, as the ROM shuts a chip down, XINPUT
  ' with the oscillator off: on a crystal the clock stops, on an external clock the cog stops.
  CLK_XTAL_START  = %0_0_1_01_000
  CLK_XTAL_RUN    = %0_0_1_01_010
  CLK_SHUTDOWN    = %0_0_0_00_010

PUB start
  coginit(0, @identify, 0)

DAT
              org     0
identify      mov     ctra, txcounter             ' P30 is phsa's top bit: shifted out a bit a turn
              neg     phsa, #1                    ' the line idles high
              or      dira, txmask

'--- the EEPROM, before the host's first sync: the host sends syncs until one is answered -----------
              mov     ee, #0
              call    #edly                       ' SDA let go: with no pull-up there is no bus,
              test    sdamask, ina wc             ' and a low SDA would look like an acknowledgement
        if_nc jmp     #listen
              mov     ea, #0
              call    #readat
        if_c  jmp     #listen
              mov     ee, #EE_ANSWERED
              mov     f0, d0
              mov     f1, d1
              mov     ea, eefirst
              mov     same, #EE_SAME_FIRST
              mov     k, #EE_PROBES
:probe        call    #readat
        if_nc cmp     d0, f0 wz
  if_nc_and_z cmp     d1, f1 wz
  if_nc_and_z or      ee, same
              shl     ea, #1
              shl     same, #1
              djnz    k, #:probe

'--- the RC clock against the host's bit time, and the EEPROM's answer ----------------------------
listen        call    #sync
              mov     ac, #ANS_RC
              mov     av, w
              call    #answer
              mov     ac, #ANS_EEPROM
              mov     av, ee
              call    #answer

'--- the crystal: started and settled by the RC clock, then the chip on it, timed again ------------
              clkset  xtalstart
              mov     t, cnt
              add     t, settle
              waitcnt t, #0
              clkset  xtalrun                     ' no crystal: the chip's clock stops here
              call    #sync                       ' syncs sent while it settled are past: the
              mov     ac, #ANS_CRYSTAL            ' first whole one after is timed
              mov     av, w
              call    #answer
              clkset  shutdown                    ' as the ROM's shutdown leaves a chip
              cogid   t
              cogstop t

'--- a sync: the low pulse of SYNC_BITS bit times, its width in w, the bit time in bt --------------
sync          waitpeq rxmask, rxmask              ' a pulse already under way is not whole
              waitpne rxmask, rxmask
              mov     t1, cnt
              waitpeq rxmask, rxmask
              mov     w, cnt
              sub     w, t1
              cmp     w, #SYNC_LEAST wc
        if_c  jmp     #sync
              mov     bt, w
              add     bt, #SYNC_BITS / 2
              shr     bt, #SYNC_SHIFT
sync_ret      ret

'---------------------------------------------------------------------------------------------------
' answer: four bytes at the sync's rate: code ac and value av (24 bits, low byte first). Each byte
' has four stop bits: time to make the next.
'---------------------------------------------------------------------------------------------------
answer        mov     out, av
              shl     out, #8
              or      out, ac
              mov     bt3, bt
              shl     bt3, #1
              add     bt3, bt
              mov     j, #4
              mov     at, cnt
              add     at, #32
:byte         mov     t0, out                     ' start bit, data from bit 30 down, stop bits
              rev     t0, #24
              shl     t0, #23
              or      t0, stopbits
              mov     n, #9
              waitcnt at, bt
              mov     phsa, t0                    ' the start bit
:bit          waitcnt at, bt                      ' bits 0 to 7 and the first stop bit
              shl     phsa, #1
              djnz    n, #:bit
              add     at, bt3                     ' the other three change nothing on the line
              shr     out, #8
              djnz    j, #:byte
              waitcnt at, #0
answer_ret    ret

' readat: the EEPROM_PROBE_BYTES from ea, the first in d1's top byte, the last in d0's low one; C
' set when a byte of the device's address or of ea was not acknowledged
readat        call    #address
        if_nc call    #i2cstart
        if_nc mov     eb, #$A1
        if_nc call    #i2cwrite
        if_c  jmp     #:done
              mov     ek2, #EE_PROBE_BYTES
:byte         cmp     ek2, #1 wz                  ' the last byte is not acknowledged
              call    #i2cread
              and     eb, #$FF
              shl     d1, #8
              mov     t0, d0
              shr     t0, #24
              or      d1, t0
              shl     d0, #8
              or      d0, eb
              djnz    ek2, #:byte
              cmp     ek2, #0 wc                  ' C clear: all acknowledged
:done         call    #i2cstop                    ' the flags as they were
readat_ret    ret

' address: start, the device for writing and ea; C set when not acknowledged
address       call    #i2cstart
              mov     eb, #$A0
              call    #i2cwrite
        if_nc mov     eb, ea
        if_nc shr     eb, #8
        if_nc call    #i2cwrite
        if_nc mov     eb, ea
        if_nc call    #i2cwrite
address_ret   ret

' I2C, at most 400 kHz at the fastest RC clock: SCL driven, SDA pulled up and only pulled down
i2cstart      andn    dira, sdamask
              or      outa, sclmask
              or      dira, sclmask
              call    #edly
              or      dira, sdamask               ' SDA falls while SCL is high
              call    #edly
              andn    outa, sclmask
              call    #edly
i2cstart_ret  ret

i2cstop       or      dira, sdamask
              call    #edly
              or      outa, sclmask
              call    #edly
              andn    dira, sdamask               ' SDA rises while SCL is high
              call    #edly
i2cstop_ret   ret

' the low byte of eb, most significant bit first; C set when not acknowledged
i2cwrite      shl     eb, #24
              mov     ek, #9                      ' and the acknowledgement's clock, SDA let go
              or      eb, ackbit
:bit          shl     eb, #1 wc
              muxnc   dira, sdamask
              call    #edly
              or      outa, sclmask
              call    #edly
              test    sdamask, ina wc
              andn    outa, sclmask
              djnz    ek, #:bit
i2cwrite_ret  ret

' a byte into eb's low bits; acknowledged unless Z (the last one read)
i2cread       andn    dira, sdamask
              mov     ek, #8
:bit          call    #edly
              or      outa, sclmask
              call    #edly
              test    sdamask, ina wc
              andn    outa, sclmask
              rcl     eb, #1
              djnz    ek, #:bit
              muxnz   dira, sdamask
              call    #edly
              or      outa, sclmask
              call    #edly
              andn    outa, sclmask
              andn    dira, sdamask
i2cread_ret   ret

edly          nop                                 ' with the two nops: 400 kHz at 20.8 MHz
              nop
edly_ret      ret

rxmask        long    |< RX_PIN
txmask        long    |< TX_PIN
txcounter     long    %00100 << 26 | TX_PIN       ' NCO, single-ended: the pin is phsa[31]
sclmask       long    |< SCL_PIN
sdamask       long    |< SDA_PIN
ackbit        long    $0080_0000
stopbits      long    $007F_FFFF
eefirst       long    EE_FIRST_PROBE
settle        long    SETTLE_CLOCKS
xtalstart     long    CLK_XTAL_START
xtalrun       long    CLK_XTAL_RUN
shutdown      long    CLK_SHUTDOWN

t             res     1
t0            res     1
t1            res     1
w             res     1
bt            res     1
bt3           res     1
ac            res     1
av            res     1
out           res     1
at            res     1
j             res     1
n             res     1
k             res     1
ee            res     1
ea            res     1
eb            res     1
ek            res     1
ek2           res     1
d0            res     1
d1            res     1
f0            res     1
f1            res     1
same          res     1
              fit     496
