#ifndef RANDOMDRAW_H
#define RANDOMDRAW_H

// Seeds qrand, the generator the mirror pick draws from.
void seedRandomDraw(unsigned int seed);
// Seeds qrand so that its next value modulo modulo equals value: the next mirror pick over
// modulo free slots then takes the free slot of that index.
void seedNextDraw(int value, int modulo);

#endif // RANDOMDRAW_H
