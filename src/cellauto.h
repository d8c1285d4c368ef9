// The cell world: a torus of owned Life cells, its credit economy, and pattern stamping.
#ifndef QUOLVANE_CELLAUTO_H
#define QUOLVANE_CELLAUTO_H

// One cell of a map. Every writer stores 0 or 1 in `alive` and 0..7 in `owner`.
struct Cell {
    unsigned char alive;  // 1 live, 0 dead
    unsigned char owner;  // 0 nobody, 1..6 a player
    unsigned char age;    // decay counter of a dead owned cell
    unsigned char spare;  // always 0
};

// A rectangular block of cells to stamp, in one of four quarter turns. Does not own `cells`.
struct pattern {
    unsigned int width;     // columns
    unsigned int height;    // rows
    unsigned int rotation;  // only rotation & 3 counts
    unsigned char* cells;   // width * height bytes, row-major, nonzero = live
};

// The world cell that block cell (row i, column j) of a width x height block lands on when the
// block is anchored at (x, y) with quarter turn `rotation & 3`. The turned cases reflect with
// `width - j` and `height - i`, so a turned block sits one cell further right or down than a pure
// turn would put it. Sums wrap in unsigned 32-bit arithmetic; callers reduce them to the world.
// Stamping, pricing and the front end's preview all use this one mapping.
inline void PatternCellTarget(unsigned int rotation, unsigned int x, unsigned int y,
                              unsigned int width, unsigned int height, unsigned int i,
                              unsigned int j, unsigned int* tx, unsigned int* ty)
{
    switch (rotation & 3) {
    case 0:
        *tx = x + j;
        *ty = y + i;
        break;
    case 1:
        *tx = x + i;
        *ty = y + width - j;
        break;
    case 2:
        *tx = x + width - j;
        *ty = y + height - i;
        break;
    default:
        *tx = x + height - i;
        *ty = y + j;
        break;
    }
}

// The highest owner a cell can hold: owners index the eight balances in CellAuto::credits.
const unsigned char MAX_CELL_OWNER = 7;

// PutPattern's results: stamped, or refused because the player is no owner a cell can hold.
enum : int {
    CELLAUTO_OK = 0,
    CELLAUTO_BAD_OWNER = -1,
};

class CellAuto {
public:
    unsigned int width;      // columns
    unsigned int height;     // rows
    unsigned int cellCount;  // width * height, cells in each map
    Cell* currentMap;        // the present generation, row-major
    Cell* nextMap;           // the previous generation; the target of the next step

    unsigned int ageLimit;        // age at which a dead owned cell loses its owner
    unsigned int decayThreshold;  // differently owned neighbours from which a dead cell ages
    float decayFactor;            // extra ageing per differently owned neighbour above that
    float creditUpkeep;           // added to the owner's balance per owned cell per generation
    float creditBirth;            // added to a newborn's owner's balance
    float creditDeath;            // added to a dying cell's owner's balance
    float costOwn;                // price per pattern cell on the player's own dead cell
    float costNeutral;            // price per pattern cell on an unowned cell
    float costEnemy;              // price per pattern cell on another player's cell

    float credits[8];  // balance per owner value; 1..6 are the players

    // An empty world with no maps; it must not be stepped or addressed.
    CellAuto();
    // A width x height world, all cells dead, unowned, age 0. If the maps cannot be
    // allocated (or width * height does not fit 32 bits) both maps stay null, which the
    // owner detects through GetCurrentMap(); every operation is then a no-op.
    CellAuto(unsigned int width, unsigned int height);
    // Frees both maps.
    ~CellAuto();

    CellAuto(const CellAuto&) = delete;
    CellAuto& operator=(const CellAuto&) = delete;

    // Writes `alive` and `owner` of the current cell at (x mod width, y mod height); the age and
    // spare bytes stay. Any nonzero `alive` makes the cell live (stored as 1). Does nothing on a
    // world without maps, or for an owner above MAX_CELL_OWNER, which no balance could hold.
    void SetCell(unsigned int x, unsigned int y, unsigned char alive, unsigned char owner);
    // The current cell at (x mod width, y mod height), or null on a world without maps.
    Cell* GetCell(unsigned int x, unsigned int y);
    // The whole present generation (cellCount cells, row-major); null without maps. Good only
    // until the next Step, which exchanges the maps.
    Cell* GetCurrentMap();
    // Advances the world by one generation and moves the credits accordingly. Does nothing on
    // a world without maps or narrower or lower than 2 cells.
    void Step();

    // Stamps the block for `player` with its anchor at (x, y): every block cell, zero bytes too,
    // is written through SetCell with `player` as owner, live where its byte is nonzero. Returns
    // CELLAUTO_OK, or CELLAUTO_BAD_OWNER, writing nothing, for a player above MAX_CELL_OWNER.
    int PutPattern(unsigned char player, unsigned int x, unsigned int y, unsigned int width,
                   unsigned int height, unsigned char* cells, unsigned char rotation);
    // What stamping `pat` at (x, y) would cost `player`: per live block cell, costOwn on the
    // player's dead cell, nothing on the player's live cell, costNeutral on an unowned cell,
    // costEnemy on another player's cell. Summed exactly, rounded to float once. Changes nothing.
    float GetBuildCost(unsigned char player, unsigned int x, unsigned int y, pattern* pat);

private:
    unsigned char* stepBuffers;  // the fast step's scratch, allocated with the maps

    // The step one position at a time, for tunings the fast step cannot hold in bytes. Expects
    // the maps already exchanged.
    void StepScalar();
};

// The name of the build of the fast step that CellAuto::Step runs in this process: the widest in
// the list of step builds that the processor has, or the one QUOLVANE_STEP_ISA names (the
// portable build runs anywhere). Chosen once, at the first call or step.
const char* StepIsaName();

// The name of the i-th build of the fast step in the list (widest first, the portable one last),
// or null past its end.
const char* StepBuildName(unsigned int i);

// Whether this processor runs the build of the fast step named `name`: false for a build that
// needs features this processor lacks, and for a name that is no build of this program.
bool StepBuildRunsHere(const char* name);

#endif
