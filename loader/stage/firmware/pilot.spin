{{ Kestrup's pilot: the boot ROM carries these few longs on its slow line, three bits a byte,
   instead of the whole bootstrap (boot.spin), which they then take at 230400 baud, eight bits a
   byte, into this cog above themselves, and run. The ROM's line would take the bootstrap's longs in
   80 ms; the pilot's own in a quarter of that, the bootstrap in another.

   The host's side and the wire are described in loader/stage/bootstrap.h.

   Until a sync comes, the pilot sends every low pulse on its receive pin straight back on its
   transmit pin: the host's pings (0xFF) come back as they went the moment the pilot listens, which
   the host cannot otherwise tell while the ROM's clock-settling wait lasts 20 to 50 ms. The sync's
   pulse (0x80: eight bit times) gives the bit time; each byte is then sampled from its own start
   bit, and the longs go into the cog as the bootstrap's addresses have them (its org is BOOT_AT).
   A sum that is not zero sends the pilot back to echoing, to be loaded again. }}

CON
  RX_PIN     = 31
  TX_PIN     = 30
  ' As the bootstrap's: the first waitcnt comes this early for ina to be read mid-bit.
  LATENCY    = 12
  ' A ping is one bit time low, 35 to 87 clocks at 230400 baud on an 8 to 20 MHz chip; a sync
  ' (0x80) eight, 278 or more. Nothing the host sends in the ROM's phase is more than two bits low
  ' (174 clocks at 20 MHz): a late poll for the ROM's answer is echoed, not taken for a sync.
  SYNC_LEAST = 224                                ' wire: pilot::syncLeast
  SYNC_SHIFT = 3                                  ' the sync: start bit and seven zeros
  SYNC_BITS  = 1 << SYNC_SHIFT                    ' wire: pilot::syncBits
  ' The bootstrap's place in this cog and its length: boot.spin has the same two, and
  ' scripts/make-second-stage checks that they agree.
  BOOT_AT    = 52
  BOOT_LONGS = 144
  ' The long the host gives a crystal image's oscillator and PLL bits, the RC clock kept
  CLOCK_MARK = $C10C_0000                         ' wire: pilot::clockModeMarker

PUB start
  coginit(0, @pilot, 0)

DAT
              org     0
pilot         clkset  clockmode                   ' a crystal settles while the rest comes
              or      outa, txmask                ' the line idles high
              or      dira, txmask

echo          waitpne rxmask, rxmask              ' a low pulse, back as it came
              andn    outa, txmask
              mov     t, cnt
              waitpeq rxmask, rxmask
              or      outa, txmask
              mov     bt, cnt
              sub     bt, t
              cmp     bt, #SYNC_LEAST wc
        if_c  jmp     #echo

              add     bt, #SYNC_BITS / 2          ' the bit time, rounded
              shr     bt, #SYNC_SHIFT
              mov     first, bt                   ' to the middle of bit 0
              shr     first, #1
              add     first, bt
              sub     first, #LATENCY
              movd    :store, #BOOT_AT
              mov     n, #BOOT_LONGS + 1          ' and the check
              mov     sum, #0

:long         mov     k, #4
:byte         waitpne rxmask, rxmask              ' the start bit's edge
              mov     t, cnt
              add     t, first
              mov     j, #8
:bit          waitcnt t, bt
              test    rxmask, ina wc
              rcr     data, #1
              djnz    j, #:bit
              waitpeq rxmask, rxmask              ' past bit 7, should it be 0
              djnz    k, #:byte
:store        mov     0-0, data                   ' in the stop bits: two at this rate
              add     :store, dstone
              rol     sum, #1                     ' a misplaced long changes it too
              add     sum, data
              djnz    n, #:long
              tjz     sum, #BOOT_AT
              jmp     #echo

rxmask        long    |< RX_PIN
txmask        long    |< TX_PIN
dstone        long    $200
clockmode     long    CLOCK_MARK

t             res     1
bt            res     1
first         res     1
n             res     1
sum           res     1
k             res     1
j             res     1
data          res     1
              fit     BOOT_AT
