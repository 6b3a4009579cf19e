#include <stdio.h>
#include "queue.h"

#define MAX 16
#define MIN(a, b) ((a) < (b) ? (a) : (b))

typedef struct node {
    int value;
    struct node *next;
} node_t;

enum color { RED, GREEN };

static int counter = 0;

int push(node_t *head, int value) {
    /* not_called(); */
    return insert(head, "not_called()");
}
